# The Debian package of the native build (scripts/package): everything
# `cmake --install` puts under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane SFX developers <quorvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "self-extracting archives for Windows: the quorvane tool and libquorvane")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The system libraries the programs need become the package's dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library's symbols file (dpkg-gensymbols format), kept beside its version
# script; it goes into libquorvane1's control area once the packages are split.
set(QUORVANE_SYMBOLS_FILE ${PROJECT_SOURCE_DIR}/lib/libquorvane1.symbols)
if(NOT CPACK_OUTPUT_FILE_PREFIX)
  set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
endif()
include(CPack)
