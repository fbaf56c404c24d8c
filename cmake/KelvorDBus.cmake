# D-Bus activation files for the automation servers: one for the build tree (what
# `kelvor session` and the tests use) and one written at install time, so that it names the
# program where `cmake --install --prefix ...` put it.
set(KELVOR_BUILD_SERVICE_DIR "${CMAKE_BINARY_DIR}/dbus-services")
include(GNUInstallDirs)

function(kelvor_dbus_service target progid)
    file(GENERATE OUTPUT "${KELVOR_BUILD_SERVICE_DIR}/${progid}.service"
        CONTENT "[D-BUS Service]\nName=${progid}\nExec=$<TARGET_FILE:${target}>\n")
    # The installed file names the program where the installation puts it: the prefix is the
    # one of that moment (`cmake --install --prefix`, or /usr when CPack builds the package).
    install(CODE "
        set(bindir \"${CMAKE_INSTALL_BINDIR}\")
        if(NOT IS_ABSOLUTE \"\${bindir}\")
            set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
        endif()
        set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services\")
        file(MAKE_DIRECTORY \"\${dir}\")
        message(STATUS \"Installing: \${dir}/${progid}.service\")
        file(WRITE \"\${dir}/${progid}.service\"
            \"[D-BUS Service]\\nName=${progid}\\nExec=\${bindir}/$<TARGET_FILE_NAME:${target}>\\n\")
    ")
endfunction()
