# Debian packages through CPack: `cpack -G DEB` in the build folder makes
#   fsdb      the library (with its soname link), the tool, the SQLite extension and the manual page;
#   fsdb-dev  the headers, the CMake package, fsdb.pc and the libfsdb.so link, depending on fsdb.
# Dependencies on Debian's libraries are found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME fsdb)
set(CPACK_PACKAGE_VENDOR "fsdb developers")
set(CPACK_PACKAGE_CONTACT "fsdb developers <fsdb@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "records file-system scans in SQLite and reports what changed")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME fsdb)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "records file-system scans in SQLite and reports what changed\n The fsdb tool, the libfsdb shared library and the fsdb_collation SQLite extension.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME fsdb-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libboost-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "development files of libfsdb\n Headers, the CMake package (find_package(fsdb)) and fsdb.pc.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
include(CPack)
