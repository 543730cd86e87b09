# Installing as a Linux service and desktop program, and the Debian package: the systemd
# unit with its sysusers.d and tmpfiles.d entries, the default lpd.ini with an example
# queue, the manuals, the desktop entry and the icon in the hicolor theme.

set(SPOOLMERE_SPOOL_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/spool/spoolmere")
set(SPOOLMERE_PRINT_TO_FILE "${CMAKE_INSTALL_FULL_LIBEXECDIR}/spoolmere/print-to-file")
# -DSPOOLMERE_UNIT_DIR=... puts the unit elsewhere.
if(NOT SPOOLMERE_UNIT_DIR)
    set(SPOOLMERE_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(generated ${PROJECT_BINARY_DIR}/packaging)

configure_file(packaging/spoolmere.service ${generated}/spoolmere.service @ONLY)
configure_file(packaging/spoolmere.tmpfiles ${generated}/spoolmere.tmpfiles @ONLY)
configure_file(packaging/lpd.ini ${generated}/lpd.ini @ONLY NEWLINE_STYLE CRLF)
configure_file(packaging/print-to-file ${generated}/print-to-file @ONLY)

install(FILES ${generated}/spoolmere.service DESTINATION ${SPOOLMERE_UNIT_DIR})
install(FILES packaging/spoolmere.sysusers DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d
        RENAME spoolmere.conf)
install(FILES ${generated}/spoolmere.tmpfiles DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d
        RENAME spoolmere.conf)
install(FILES ${generated}/lpd.ini DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/spoolmere)
install(PROGRAMS ${generated}/print-to-file DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/spoolmere)
install(FILES packaging/spoolmere.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/spoolmere.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The PNG sizes are drawn by the program's own icon code, so they match the window's icon.
if(TARGET spoolmere_gui)
    add_executable(spoolmere_rendericon packaging/rendericon.cpp)
    target_link_libraries(spoolmere_rendericon PRIVATE spoolmere_gui)
    set(icon_sizes 16 22 24 32 48 64 128 256)
    set(icon_files)
    foreach(size IN LISTS icon_sizes)
        list(APPEND icon_files ${generated}/icons/${size}x${size}/apps/spoolmere.png)
    endforeach()
    add_custom_command(OUTPUT ${icon_files}
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                $<TARGET_FILE:spoolmere_rendericon> ${generated}/icons ${icon_sizes}
        DEPENDS spoolmere_rendericon
        COMMENT "Drawing the icon's PNG sizes")
    add_custom_target(spoolmere_icons ALL DEPENDS ${icon_files})
    install(DIRECTORY ${generated}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
endif()

# Manuals: scdoc sources, turned into roff and compressed at build time.
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
set(man_files)
foreach(page spoolmere.8 lpd.ini.5)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(out ${generated}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}/man
        COMMAND sh -c "\"$0\" < \"$2\" | \"$1\" -9n > \"$3\"" ${SCDOC} ${GZIP}
                ${PROJECT_SOURCE_DIR}/man/${page}.scd ${out}
        DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.scd
        COMMENT "Manual ${page}"
        VERBATIM)
    list(APPEND man_files ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(spoolmere_manuals ALL DEPENDS ${man_files})

# cpack -G DEB. The libraries the programs link come from dpkg-shlibdeps; the ones opened
# at run time (libcups, libsystemd, libsmbclient) are named here.
set(CPACK_PACKAGE_NAME spoolmere)
set(CPACK_PACKAGE_VENDOR "Spoolmere")
set(CPACK_PACKAGE_CONTACT "Spoolmere maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LPD (RFC 1179) print server for Linux")
set(CPACK_PACKAGE_DESCRIPTION "Spoolmere receives print jobs from LPR clients (old Unix \
hosts, mainframes, appliances, Windows clients) into a spool and prints them through a print \
command, a CUPS queue, a local device or an SMB printer. It runs as a systemd service or as \
a desktop program with a window and a tray icon.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcups2, libsystemd0, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsmbclient, systemd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cups, rlpr")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
