# `make package`: a Debian package of everything `cmake --install` puts down (the window, the companion,
# its man page, the launcher entry, the icon and the Wireshark dissector), for a prefix of /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrano)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veltrano developers <veltrano@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test toolkit for the UDP protocol between alarm panels and a monitoring centre")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A desktop window that is at once a simulated alarm panel and a simulated monitoring centre, a command-line companion (veltrano-cli) for scripts, CI and load tests, and a Wireshark dissector.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Library dependencies come from the binaries themselves; Qt's platform plugins are loaded at run time, so
# they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk, tshark | wireshark")
set(CPACK_STRIP_FILES ON)
include(CPack)
