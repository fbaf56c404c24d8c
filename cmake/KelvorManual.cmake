# Manual pages. Each program prints its own page (troff, written from the same text as its
# --help) when given the hidden option --manual-page; the build runs it, so a page never drifts
# from the program, and the installation puts it, compressed as Debian keeps pages, in
# share/man/man1. build/man/ keeps the plain pages too, for `man -l`.
include(GNUInstallDirs)
set(KELVOR_MAN_DIR "${CMAKE_BINARY_DIR}/man")

function(kelvor_manual_page target)
    set(page "${KELVOR_MAN_DIR}/${target}.1")
    add_custom_command(OUTPUT "${page}" "${page}.gz"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${KELVOR_MAN_DIR}"
        COMMAND sh -c "\"$1\" --manual-page > \"$2\" && gzip -9 -n -c \"$2\" > \"$2.gz\""
            sh "$<TARGET_FILE:${target}>" "${page}"
        DEPENDS ${target}
        COMMENT "Writing the manual page of ${target}"
        VERBATIM)
    add_custom_target(${target}_manual ALL DEPENDS "${page}.gz")
    install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endfunction()
