# Installing as a Linux service and desktop program, in two install components that are the
# two Debian packages (debian/rules): `server` (the programs without a window, the systemd
# unit with its sysusers.d and tmpfiles.d entries, the default lpd.ini with an example queue,
# logrotate, the manuals) and `desktop` (the window's program, the desktop entry, the icons).
#   cmake --install build --component server

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
configure_file(packaging/logrotate ${generated}/logrotate @ONLY)

install(FILES ${generated}/spoolmere.service DESTINATION ${SPOOLMERE_UNIT_DIR} COMPONENT server)
install(FILES packaging/spoolmere.sysusers DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d
        RENAME spoolmere.conf COMPONENT server)
install(FILES ${generated}/spoolmere.tmpfiles DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d
        RENAME spoolmere.conf COMPONENT server)
install(FILES ${generated}/lpd.ini DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/spoolmere
        COMPONENT server)
install(FILES ${generated}/logrotate DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d
        RENAME spoolmere COMPONENT server)
install(PROGRAMS ${generated}/print-to-file DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/spoolmere
        COMPONENT server)
install(FILES packaging/spoolmere.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT desktop)
install(FILES packaging/spoolmere.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)

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
    install(DIRECTORY ${generated}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor
            COMPONENT desktop)
endif()

# Manuals: scdoc sources, turned into roff and compressed at build time.
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
set(man_files)
foreach(page spoolmere.8 lpd.ini.5 spoolmere-supervise.8 spoolmere-desktop.1)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(component server)
    if(page MATCHES "desktop")
        set(component desktop)
    endif()
    set(out ${generated}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}/man
        COMMAND sh -c "\"$0\" < \"$2\" | \"$1\" -9n > \"$3\"" ${SCDOC} ${GZIP}
                ${PROJECT_SOURCE_DIR}/man/${page}.scd ${out}
        DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.scd
        COMMENT "Manual ${page}"
        VERBATIM)
    list(APPEND man_files ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(spoolmere_manuals ALL DEPENDS ${man_files})
