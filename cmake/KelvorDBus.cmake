# D-Bus activation files for the automation servers: one for the build tree (what
# `kelvor session` and the tests use) and one written at install time, so that it names the
# program where `cmake --install --prefix ...` put it.
set(KELVOR_BUILD_SERVICE_DIR "${CMAKE_BINARY_DIR}/dbus-services")
include(GNUInstallDirs)

function(kelvor_dbus_service target progid)
    file(GENERATE OUTPUT "${KELVOR_BUILD_SERVICE_DIR}/${progid}.service"
        CONTENT "[D-BUS Service]\nName=${progid}\nExec=$<TARGET_FILE:${target}>\n")
    install(CODE "
        set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services\")
        file(MAKE_DIRECTORY \"\${dir}\")
        message(STATUS \"Installing: \${dir}/${progid}.service\")
        file(WRITE \"\${dir}/${progid}.service\"
            \"[D-BUS Service]\\nName=${progid}\\nExec=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\\n\")
    ")
endfunction()
