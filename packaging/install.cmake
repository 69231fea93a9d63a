# What `cmake --install` puts on a host beyond the two programs, and the
# Debian package (cpack --preset package) made of it. Folders, pattern files
# and owners are not installed: `corvane-admin setup` makes them, and the
# package's postinst runs it.

set(CORVANE_LOGROTATE_DIR "/etc/logrotate.d" CACHE PATH
    "Where logrotate reads its snippets")

# Manual pages, compressed as Debian installs them.
set(CORVANE_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/corvane-spp.8
    ${PROJECT_SOURCE_DIR}/man/corvane-admin.8 ${PROJECT_SOURCE_DIR}/man/corvane.5)
set(compressed_pages)
foreach(page ${CORVANE_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  set(out ${PROJECT_BINARY_DIR}/man/${name})
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${page} ${out}
    COMMAND gzip -9nf ${out}
    DEPENDS ${page} VERBATIM)
  list(APPEND compressed_pages ${out}.gz)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(corvane-man ALL DEPENDS ${compressed_pages})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/samples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        ${PROJECT_SOURCE_DIR}/packaging/deb/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/logrotate
        DESTINATION ${CORVANE_LOGROTATE_DIR} RENAME corvane-spp)

if(CORVANE_DEB)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/deb/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/deb
    COMMAND ${CMAKE_COMMAND} -E copy
            ${PROJECT_SOURCE_DIR}/packaging/deb/changelog
            ${PROJECT_BINARY_DIR}/deb/changelog
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/deb/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/deb/changelog VERBATIM)
  add_custom_target(corvane-changelog ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/deb/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/deb/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME corvane-spp)
  file(WRITE ${PROJECT_BINARY_DIR}/deb/conffiles
       "${CORVANE_LOGROTATE_DIR}/corvane-spp\n")
  foreach(script postinst prerm postrm)
    file(COPY ${PROJECT_SOURCE_DIR}/packaging/deb/${script}
         DESTINATION ${PROJECT_BINARY_DIR}/deb)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME corvane-spp)
  set(CPACK_PACKAGE_CONTACT "corvane-spp developers <postmaster@corvane.net>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "SMTP-time anti-spam plug-in for qmail-smtpd")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "corvane-spp judges each SMTP command that qmail-smtpd hands to its\n"
      "plug-ins: exemption and block lists, IP-reputation maps, reverse DNS,\n"
      "HELO name and envelope checks, with a 550 rejection and a reason.\n"
      "corvane-admin edits its lists, switches and notices and reads its\n"
      "counters.")
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.corvane.net")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES TRUE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_BINARY_DIR}/deb/postinst ${PROJECT_BINARY_DIR}/deb/prerm
      ${PROJECT_BINARY_DIR}/deb/postrm ${PROJECT_BINARY_DIR}/deb/conffiles)
  include(CPack)
endif()
