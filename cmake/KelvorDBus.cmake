# D-Bus activation files for the automation servers: one for the build tree (what
# `kelvor session` and the tests use) and one for an installation.
set(KELVOR_BUILD_SERVICE_DIR "${CMAKE_BINARY_DIR}/dbus-services")
include(GNUInstallDirs)

function(kelvor_dbus_service target progid)
    file(GENERATE OUTPUT "${KELVOR_BUILD_SERVICE_DIR}/${progid}.service"
        CONTENT "[D-BUS Service]\nName=${progid}\nExec=$<TARGET_FILE:${target}>\n")
    file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/install-services/${progid}.service"
        CONTENT "[D-BUS Service]\nName=${progid}\nExec=${CMAKE_INSTALL_FULL_BINDIR}/$<TARGET_FILE_NAME:${target}>\n")
    install(FILES "${CMAKE_BINARY_DIR}/install-services/${progid}.service"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/dbus-1/services")
endfunction()
