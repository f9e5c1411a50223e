# The Debian package (cpack -G DEB in the build directory): one package,
# tavrel-bench, with the tools, the library, its development files and the
# manual pages, installed under /usr. dpkg-shlibdeps works out the
# dependencies; the simulated calibration library is the package's private
# library, so it resolves inside the package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel-bench)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tavrel-bench authors")
set(CPACK_PACKAGE_CONTACT "tavrel-bench maintainers <bench-tools@tavrel-bench.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bench console and host proxy library for an OFDMA modem")
set(CPACK_PACKAGE_DESCRIPTION "tuneprobe, the operator's console of the calibration library, with a simulated
device; tuneresults, a results store of the console's runs (SQLite or
PostgreSQL) with a line's yield, failure Pareto and measurement statistics;
docksim, a target emulator; libferrylink, the host proxy library, with its
header, pkg-config file and CMake package, and ferryctl, its command-line tool;
manual pages.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file tells packages built against libferrylink.so.1 what to
# depend on.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps runs in the package's root: the private folder, relative.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${TAVREL_PRIVATE_LIBDIR})
# The dynamic linker's cache learns of libferrylink.so.1 on install and
# forgets it on removal; prerm removes the Python module's byte code.
cmake_path(ABSOLUTE_PATH FERRYLINK_PYTHON_DIR BASE_DIRECTORY ${CPACK_PACKAGING_INSTALL_PREFIX}
  OUTPUT_VARIABLE python_module_dir)
string(APPEND python_module_dir "/ferrylink")
configure_file(${PROJECT_SOURCE_DIR}/packaging/prerm.in ${PROJECT_BINARY_DIR}/packaging/prerm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers ${PROJECT_BINARY_DIR}/packaging/prerm)
# Maintainer scripts executable, other control files not, whatever the tree's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# libpq is loaded when a PostgreSQL store is named, not linked: dpkg-shlibdeps
# cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS libpq5)
# The Python module (ctypes) needs nothing but the interpreter.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
# tuneresults serve draws its plots with the system's Chart.js.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libjs-chart.js)
set(CPACK_STRIP_FILES ON)
include(CPack)
