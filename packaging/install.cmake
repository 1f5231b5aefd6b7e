# What `cmake --install` puts where; the Debian package (debian/) installs
# exactly this.
#
# Programs go to sbin (the daemon) and bin (the tester), the manual pages to
# man5/man8/man1, the guides and the example rules to the documentation
# directory. With CMAKE_INSTALL_PREFIX=/usr (as for the package) the
# configuration goes to /etc: the rule file, the service's settings and the
# logrotate snippet; the systemd unit goes to QUORVANE_SYSTEMD_UNIT_DIR
# (debian/rules sets /lib/systemd/system).
#
#   scripts/package            # dist/quorvane_1.2-1_amd64.deb
include(GNUInstallDirs)

set(QUORVANE_SYSCONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(QUORVANE_DEFAULTS_FILE ${QUORVANE_SYSCONF_DIR}/default/quorvane)
set(QUORVANE_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit is installed, relative to the prefix or absolute")

install(TARGETS quorvane-test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/quorvane.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/quorvane.rules.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/man/quorvane-test.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

file(GLOB QUORVANE_GUIDES ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${QUORVANE_GUIDES} DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/examples/rules.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/rules.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# Configuration (the package's conffiles). The rule file installed holds no
# rule, so a fresh service starts and passes all mail until rules are written.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/rules.conf DESTINATION ${QUORVANE_SYSCONF_DIR}/quorvane)
configure_file(${PROJECT_SOURCE_DIR}/packaging/quorvane.default.in ${PROJECT_BINARY_DIR}/packaging/quorvane.default
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quorvane.default DESTINATION ${QUORVANE_SYSCONF_DIR}/default
        RENAME quorvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvane.logrotate DESTINATION ${QUORVANE_SYSCONF_DIR}/logrotate.d
        RENAME quorvane)

configure_file(${PROJECT_SOURCE_DIR}/packaging/quorvane.service.in ${PROJECT_BINARY_DIR}/packaging/quorvane.service
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quorvane.service DESTINATION ${QUORVANE_SYSTEMD_UNIT_DIR})
