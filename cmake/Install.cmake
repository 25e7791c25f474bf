# Installation: both programs in one program folder (the update procedure
# replaces files there, so a per-user prefix keeps updates working without
# root), the themed icons, the menu entry, the login autostart entry of
# the updater and the systemd user unit of the headless client. The Debian package is built from the same rules (CPack).
include(GNUInstallDirs)

# Fixed, not the multiarch library folder: the menu entries and docs name it.
set(QUILLON_PROGRAM_SUBDIR lib/quillon)
install(TARGETS Quillon QuillonUpdater RUNTIME DESTINATION ${QUILLON_PROGRAM_SUBDIR})

# Icons: the SVG, and PNGs of the usual panel and menu sizes rendered from it.
set(QUILLON_ICON_SVG ${CMAKE_SOURCE_DIR}/data/icons/quillon.svg)
install(FILES ${QUILLON_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
find_program(QUILLON_RSVG rsvg-convert)
if(QUILLON_RSVG)
    set(_pngs)
    foreach(size 16 22 24 32 48 64 128 256)
        set(_png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/quillon.png)
        add_custom_command(OUTPUT ${_png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
            COMMAND ${QUILLON_RSVG} -w ${size} -h ${size} -o ${_png} ${QUILLON_ICON_SVG}
            DEPENDS ${QUILLON_ICON_SVG} VERBATIM)
        list(APPEND _pngs ${_png})
        install(FILES ${_png}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(quillon_icons ALL DEPENDS ${_pngs})
else()
    message(STATUS "rsvg-convert not found: only the SVG icon is installed")
endif()

# The entries name the programs by their final path, known only at install
# time (cmake --install --prefix may differ from the configured prefix).
install(CODE "
    set(QUILLON_PROGRAM_DIR \"\${CMAKE_INSTALL_PREFIX}/${QUILLON_PROGRAM_SUBDIR}\")
    set(_apps \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
    # A system installation's entries go to /etc/xdg; any other prefix keeps
    # them below itself (the per-user script moves the autostart entry).
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(_autostart \"\$ENV{DESTDIR}/etc/xdg/autostart\")
    else()
        set(_autostart \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart\")
    endif()
    # The headless client as a systemd user service, not enabled; user units
    # of a package live below its lib folder (the per-user script moves it).
    set(_units \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
    configure_file(\"${CMAKE_SOURCE_DIR}/data/quillon.service.in\" \"\${_units}/quillon.service\" @ONLY)
    message(STATUS \"Installing: \${_units}/quillon.service\")
    configure_file(\"${CMAKE_SOURCE_DIR}/data/quillon.desktop.in\" \"\${_apps}/quillon.desktop\" @ONLY)
    configure_file(\"${CMAKE_SOURCE_DIR}/data/quillon-updater-autostart.desktop.in\"
                   \"\${_autostart}/quillon-updater.desktop\" @ONLY)
    message(STATUS \"Installing: \${_apps}/quillon.desktop\")
    message(STATUS \"Installing: \${_autostart}/quillon-updater.desktop\")
")

# The licence and the changelog (compressed, as Debian keeps them), in the
# package's documentation folder for both ways of installing.
set(_changelog ${CMAKE_SOURCE_DIR}/data/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_changelog})
execute_process(COMMAND gzip -9nc ${_changelog} OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillon)

# Debian package: scripts/package. The runtime libraries become
# dependencies through dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora KT")
set(CPACK_PACKAGE_CONTACT "Velmora KT <support@velmora-kt.jp>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TORVAL2 client tool: scheduled folder upload to the TORVAL2 storage")
set(CPACK_PACKAGE_DESCRIPTION "\
Quillon sits in the system tray and sends the user's folders to the TORVAL2
online storage on a schedule: up to 20 upload jobs, each sending only new
and changed files, with a report of every run, guest download links and the
storage as a network drive (GVfs WebDAV).
.
QuillonUpdater starts at login, carries over the settings of the older
ORRIN-PORTAL AutoUploader once and starts the client. The texts are in
Japanese.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt platform plugins are loaded, not linked, so dpkg-shlibdeps cannot
# see them. The system log command (logger) is in bsdutils, an essential
# package, which is never named.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# Every text is Japanese: a font for it, and Qt's own texts (standard
# buttons, file dialogs) in Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic | fonts-takao-gothic, qt6-translations-l10n")
# The login entry is the administrator's to change or turn off.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/xdg/autostart/quillon-updater.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
