# What `cmake --install` puts where, and the Debian package CPack builds.
#
# Programs go to sbin (the daemon) and bin (the tester), the manual pages to
# man5/man8/man1, the guides and the example rules to the documentation
# directory. With CMAKE_INSTALL_PREFIX=/usr (as for the package) the
# configuration goes to /etc: the rule file, the service's settings and the
# logrotate snippet; the systemd unit goes to lib/systemd/system.
#
#   cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build
#   (cd build && cpack)        # quorvane_1.2_amd64.deb
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

# Configuration. The rule file installed holds no rule, so a fresh service
# starts and passes all mail until rules are written.
set(QUORVANE_CONFFILES
    ${QUORVANE_SYSCONF_DIR}/quorvane/rules.conf
    ${QUORVANE_DEFAULTS_FILE}
    ${QUORVANE_SYSCONF_DIR}/logrotate.d/quorvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/rules.conf DESTINATION ${QUORVANE_SYSCONF_DIR}/quorvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvane.default DESTINATION ${QUORVANE_SYSCONF_DIR}/default
        RENAME quorvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvane.logrotate DESTINATION ${QUORVANE_SYSCONF_DIR}/logrotate.d
        RENAME quorvane)

configure_file(${PROJECT_SOURCE_DIR}/packaging/quorvane.service.in ${PROJECT_BINARY_DIR}/packaging/quorvane.service
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/quorvane.service DESTINATION ${QUORVANE_SYSTEMD_UNIT_DIR})

# The Debian package: installs the files above, creates the quorvane user and
# starts the service (packaging/debian/postinst).
string(REPLACE ";" "\n" QUORVANE_CONFFILES_TEXT "${QUORVANE_CONFFILES}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/debian/conffiles "${QUORVANE_CONFFILES_TEXT}\n")
foreach(script postinst prerm postrm)
  file(COPY ${PROJECT_SOURCE_DIR}/packaging/debian/${script} DESTINATION ${PROJECT_BINARY_DIR}/packaging/debian
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail filter that files, pipes and tags mail by rules")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvane runs beside an MTA (Postfix, Sendmail) through the milter protocol and,\n\
by rules on the SMTP user, the envelope sender, the recipients, the header\n\
fields and the size, appends messages to mailbox files, pipes them to\n\
commands and adds headers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmilter1.0.1, libre2-9, adduser, init-system-helpers")
find_program(QUORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/debian/conffiles ${PROJECT_BINARY_DIR}/packaging/debian/postinst
    ${PROJECT_BINARY_DIR}/packaging/debian/prerm ${PROJECT_BINARY_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
