# The Debian package: `cpack -G DEB --config build/CPackConfig.cmake` (scripts/package.sh) makes
# kelvor_<version>_amd64.deb from what the install rules put under /usr: the programs, their
# D-Bus service and interface files and their manual pages. dpkg-shlibdeps (dpkg-dev) finds the
# Debian libraries the programs link; dbus-daemon is what starts the servers and runs
# `kelvor session`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvor)
set(CPACK_PACKAGE_VENDOR Kelvor)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "debt-collection work queue: servers and command line")
set(CPACK_PACKAGE_DESCRIPTION
    "Kelvor rebuilds a company's collection work queue from its customer accounts by twelve
rules. The package holds the queue engine server (KelvorQueuePE) and the application server
(KelvorSystemPE), started on demand on the D-Bus session bus, the database maintenance
wizard (Kelvor41PERepair) and the kelvor command-line program.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kelvor developers <kelvor@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS dbus-daemon)
include(CPack)
