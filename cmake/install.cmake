# What `cmake --install` puts where: the daemon in sbin, the client and the
# simulator in bin, the man pages, the systemd template unit with its
# sysusers and tmpfiles entries, and the Prometheus alert rules. The unit
# names the server directories below KORVD_SERVER_ROOT, one directory per
# instance.
include(GNUInstallDirs)

set(KORVD_SERVER_ROOT "/srv/korvd" CACHE PATH
    "Directory holding one server directory per korvd@ instance")
set(KORVD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the unit files go, relative to the prefix (or absolute)")
set(KORVD_SBIN "${CMAKE_INSTALL_FULL_SBINDIR}")
# The node exporter's textfile directory for the instances' metrics files.
set(KORVD_METRICS_DIR "/var/lib/korvd/metrics" CACHE PATH
    "Directory the korvd@ instances may write their metrics files to")

configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/korvd@.service.in
               ${CMAKE_BINARY_DIR}/packaging/korvd@.service @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/korvd.tmpfiles.in
               ${CMAKE_BINARY_DIR}/packaging/korvd.conf @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/korvd.sysusers.in
               ${CMAKE_BINARY_DIR}/packaging/sysusers-korvd.conf @ONLY)

install(TARGETS korvd DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS korvctl gamesim DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/korvd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/korvctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/gamesim.6 DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
install(FILES ${CMAKE_BINARY_DIR}/packaging/korvd@.service DESTINATION ${KORVD_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/korvd.conf DESTINATION lib/tmpfiles.d)
install(FILES ${CMAKE_BINARY_DIR}/packaging/sysusers-korvd.conf DESTINATION lib/sysusers.d
        RENAME korvd.conf)
install(FILES ${CMAKE_SOURCE_DIR}/contrib/prometheus/korvd-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korvd/prometheus)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/make_demo_server.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/korvd
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)
