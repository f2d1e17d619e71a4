# `make package`: a Debian package of everything `cmake --install` puts down (the window, the companion,
# their man pages, the launcher entry, its metadata and icons, the shell completion, the Wireshark
# dissector, the Grafana dashboard and the alerting rules), for a prefix of /usr. `scripts/check-package.sh`
# holds it to the Debian tools.
include(GNUInstallDirs)

# Debian wants man pages and the changelog compressed, without name or time stamp in the gzip header.
find_program(VELTRANO_GZIP gzip REQUIRED)
function(veltrano_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${output}.tmp
        COMMAND ${VELTRANO_GZIP} -9nf ${output}.tmp
        COMMAND ${CMAKE_COMMAND} -E rename ${output}.tmp.gz ${output}
        DEPENDS ${source} VERBATIM)
endfunction()

set(veltrano_doc_dir ${CMAKE_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${veltrano_doc_dir})
veltrano_gzip(${PROJECT_SOURCE_DIR}/docs/veltrano.1 ${veltrano_doc_dir}/veltrano.1.gz)
veltrano_gzip(${PROJECT_SOURCE_DIR}/docs/veltrano-cli.1 ${veltrano_doc_dir}/veltrano-cli.1.gz)
veltrano_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${veltrano_doc_dir}/changelog.Debian.gz)
add_custom_target(veltrano_docs ALL DEPENDS
    ${veltrano_doc_dir}/veltrano.1.gz ${veltrano_doc_dir}/veltrano-cli.1.gz ${veltrano_doc_dir}/changelog.Debian.gz)

install(FILES ${veltrano_doc_dir}/veltrano.1.gz ${veltrano_doc_dir}/veltrano-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# packaging/copyright is LICENSE (MIT) in Debian's machine-readable form; a second copy of the licence in
# the doc folder would be one lintian objects to.
install(FILES ${veltrano_doc_dir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The Grafana dashboard and the Prometheus alerting rules for what `--metrics` serves.
install(FILES ${PROJECT_SOURCE_DIR}/monitoring/veltrano-dashboard.json
              ${PROJECT_SOURCE_DIR}/monitoring/veltrano-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/veltrano/monitoring)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME veltrano)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrano)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision: the changelog's version is ${PROJECT_VERSION}-1 as well.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "Veltrano developers <veltrano@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test toolkit for the UDP protocol of alarm panels and centres")
# Debian shows each line as it is: kept under 80 columns by hand.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A desktop window, in Simplified Chinese, that is at once a simulated alarm\n"
    "panel and a simulated monitoring centre; a command-line companion\n"
    "(veltrano-cli) for scripts, CI and load tests; and a Wireshark dissector\n"
    "of the protocol.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Library dependencies come from the binaries themselves; Qt's platform plugins are loaded at run time and
# Qt's own dialogs read their Chinese texts from qt6-translations-l10n, so both are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk, tshark | wireshark")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
