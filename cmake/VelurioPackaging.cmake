# Installation of the desktop application and its Debian package.
#
#   cmake --build <dir> --target velurio
#   cmake --install <dir> --prefix /usr          # or: cd <dir> && cpack -G DEB
#
# Installs the `velurio` executable, its desktop entry, its icon (48 px PNG and scalable SVG in
# the hicolor theme) and, for users who want it, an autostart entry under share/velurio (see the
# README). Only the application is installed: tools, tests and benchmarks stay in the build tree,
# and installing or packaging never builds them (CMAKE_SKIP_INSTALL_ALL_DEPENDENCY).
include(GNUInstallDirs)

set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS velurio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/velurio.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/ui/resources/velurio-48.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps RENAME velurio.png)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/ui/resources/velurio.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/velurio-autostart.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/velurio/autostart RENAME velurio.desktop)

set(CPACK_PACKAGE_NAME velurio)
set(CPACK_PACKAGE_VENDOR "Velurio")
set(CPACK_PACKAGE_CONTACT "Velurio <suporte@velurio.app>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Draw on the screen from a tablet or with the mouse")
set(CPACK_PACKAGE_DESCRIPTION
    "Velurio captures one display, streams it to the companion tablet application and draws the "
    "tablet's pen strokes on a transparent overlay, so the audience sees them on the screen. "
    "Without a tablet, annotation works with the mouse. Lives in the system tray; needs an X11 "
    "session.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velurio.app")
# The shared libraries the executable links come from dpkg-shlibdeps; the rest is what it talks
# to at run time: the Avahi daemon for the local network, a secret service for the tokens (a
# 0600 file store is the fallback), and a tray host of the desktop.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, gnome-keyring | kwalletmanager | keepassxc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "usbmuxd")
include(CPack)
