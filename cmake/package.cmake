# The Debian packages of the native build (scripts/package), split as Debian
# splits a library and its users:
#   libquorvane2     the shared library (component "library")
#   libquorvane-dev  header, .so link, static library, pkg-config file, CMake
#                    package, examples (component "development")
#   quorvane         the tool, the extractor stub, manual page, completions
#                    (component "tool")
# Every install() rule names one of these components.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tool)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane SFX developers <maintainers@quorvane.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool's dependency on libquorvane2 comes from the component dependency
# below; dpkg-shlibdeps only needs to find the library in this build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Binaries are stripped; their debug symbols go into -dbgsym packages.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libquorvane${QUORVANE_ABI_VERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# shlibs for every package's shared objects, which only libquorvane2 has.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/finish-packages.cmake)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
    "library for self-extracting Windows archives
libquorvane opens, validates, lists, tests and extracts self-extracting
archives made of a small Windows extractor with a compressed payload behind
it, and writes such archives. Decoding runs in memory on two threads;
extraction refuses names that would land outside the destination.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquorvane-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
# The static library needs libdivsufsort's.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS libdivsufsort-dev)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "library for self-extracting Windows archives - development files
libquorvane opens, validates, lists, tests and extracts self-extracting
archives made of a small Windows extractor with a compressed payload behind
it, and writes such archives.
.
This package holds the C header, the static library, the pkg-config file,
the CMake package (find_package(Quorvane)) and an example program.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quorvane)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS library)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "make, list, test and extract self-extracting Windows archives
quorvane packs folders and files into a self-extracting archive: a small
32-bit Windows program that the recipient starts to get the files back,
with their times and attributes. It also lists, tests and extracts such
archives on this system, without running any Windows code.
.
This package holds the command-line tool, the Windows extractor it puts in
front of every archive, the manual page and completions for bash and zsh.")

# The library's symbols file (dpkg-gensymbols format), kept beside its version
# script, goes into libquorvane2's control area when it exists; shlibs is
# always generated.
set(QUORVANE_SYMBOLS_FILE ${PROJECT_SOURCE_DIR}/lib/libquorvane${QUORVANE_ABI_VERSION}.symbols)
if(EXISTS ${QUORVANE_SYMBOLS_FILE})
  configure_file(${QUORVANE_SYMBOLS_FILE} ${CMAKE_BINARY_DIR}/debian/symbols COPYONLY)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/symbols)
endif()

# Each package's copyright and changelog, where Debian's tools look for them.
# The changelog's newest entry must be this version.
set(changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
file(STRINGS ${changelog} newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^quorvane \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/debian/changelog has no entry for ${PROJECT_VERSION} at its top; "
                  "the packages will not pass lintian")
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
set(changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9nc ${changelog} > ${changelog_gz}
  DEPENDS ${changelog})
add_custom_target(quorvane_changelog ALL DEPENDS ${changelog_gz})
foreach(component library development tool)
  string(TOUPPER ${component} upper)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog_gz}
          DESTINATION ${docdir} COMPONENT ${component})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/list_and_print.c ${PROJECT_SOURCE_DIR}/examples/pack_and_read.c
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libquorvane-dev/examples COMPONENT development)

if(NOT CPACK_OUTPUT_FILE_PREFIX)
  set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
endif()
include(CPack)
