# Run by CPack once the packages are made (CPACK_POST_BUILD_SCRIPTS): the
# finishing touches Debian's own packaging tools give a library and its users,
# which CPack leaves out. Each package is unpacked, changed and packed again.
#  - The static library loses its debug sections, and every binary its
#    .comment section (the compiler's version strings), as dh_strip does.
#  - CPack gives a package with a library in /usr/lib a postinst and a postrm
#    that call ldconfig; Debian uses dpkg's ldconfig trigger instead.
find_program(OBJCOPY objcopy REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE static_libraries ${tree}/usr/*.a)
  foreach(library IN LISTS static_libraries)
    execute_process(COMMAND ${OBJCOPY} --strip-debug --remove-section=.comment
                            --remove-section=.note --enable-deterministic-archives ${library}
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  file(GLOB_RECURSE binaries ${tree}/usr/bin/* ${tree}/usr/lib/*.so.*)
  foreach(binary IN LISTS binaries)
    if(NOT IS_SYMLINK ${binary})
      execute_process(COMMAND ${OBJCOPY} --remove-section=.comment ${binary}
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
  if(EXISTS ${tree}/DEBIAN/shlibs)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
  endif()

  # The files changed: their checksums and the installed size with them.
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
  list(SORT files)
  set(md5sums "")
  set(bytes 0)
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK ${tree}/${file})
      file(MD5 ${tree}/${file} sum)
      string(APPEND md5sums "${sum}  ${file}\n")
      file(SIZE ${tree}/${file} size)
      math(EXPR bytes "${bytes} + ${size}")
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")
  math(EXPR kib "(${bytes} + 1023) / 1024")
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")

  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
