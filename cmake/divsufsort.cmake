# libdivsufsort as a static library of this build, for targets that have no
# system copy (the 32-bit Windows build). Its sources are Debian's source
# package as scripts/bootstrap unpacks it; nothing of it is kept in this tree.
set(DIVSUFSORT_SOURCE_DIR /usr/local/src/libdivsufsort CACHE PATH
    "libdivsufsort sources (Debian source package, unpacked by scripts/bootstrap)")
if(NOT EXISTS "${DIVSUFSORT_SOURCE_DIR}/include/divsufsort.h.cmake")
  message(FATAL_ERROR "no libdivsufsort sources in ${DIVSUFSORT_SOURCE_DIR}: run "
                      "scripts/bootstrap as root, or set DIVSUFSORT_SOURCE_DIR")
endif()

# The public header from its template: 32-bit indices, a static library, the
# same types the native package has.
set(W64BIT "")
set(INCFILE "#include <inttypes.h>")
set(DIVSUFSORT_IMPORT "")
set(DIVSUFSORT_EXPORT "")
set(SAUCHAR_TYPE uint8_t)
set(SAINT32_TYPE int32_t)
set(SAINDEX_TYPE int32_t)
set(SAINT_PRId PRId32)
set(SAINDEX_PRId PRId32)
set(divsufsort_include ${CMAKE_BINARY_DIR}/divsufsort/include)
configure_file(${DIVSUFSORT_SOURCE_DIR}/include/divsufsort.h.cmake
               ${divsufsort_include}/divsufsort.h @ONLY)

file(READ ${DIVSUFSORT_SOURCE_DIR}/VERSION divsufsort_version)
string(STRIP "${divsufsort_version}" divsufsort_version)

add_library(divsufsort STATIC
  ${DIVSUFSORT_SOURCE_DIR}/lib/divsufsort.c ${DIVSUFSORT_SOURCE_DIR}/lib/sssort.c
  ${DIVSUFSORT_SOURCE_DIR}/lib/trsort.c ${DIVSUFSORT_SOURCE_DIR}/lib/utils.c)
target_include_directories(divsufsort PUBLIC ${divsufsort_include}
                                      PRIVATE ${DIVSUFSORT_SOURCE_DIR}/include)
# What its configure step would find on this toolchain, given directly.
target_compile_definitions(divsufsort PRIVATE
  HAVE_INTTYPES_H=1 HAVE_STDDEF_H=1 HAVE_STDINT_H=1 HAVE_STDLIB_H=1 HAVE_STRING_H=1
  HAVE_MEMORY_H=1 HAVE_SYS_TYPES_H=1 INLINE=inline
  PROJECT_VERSION_FULL="${divsufsort_version}")
