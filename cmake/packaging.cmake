# Install rules and the Debian packages made from them. The install has two
# components: "client" (qsnclient, qsnpack, their manual pages and the
# guide) and "server" (qsnserver, its page, its systemd unit, system user
# and configuration). scripts/package.sh turns each into a .deb with CPack.
include(GNUInstallDirs)

# The client: host, packer and the documents an application author needs.
install(TARGETS qsnclient qsnpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT client)
install(FILES README.md SECURITY.md docs/GUIDE.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT client)
# Manual pages, systemd and Debian packages are for Linux only.
if(NOT UNIX)
  return()
endif()

set(QSN_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QSN_GENERATED_DIR ${PROJECT_BINARY_DIR}/packaging)
# /etc/qsnserver when the prefix is /usr, PREFIX/etc/qsnserver otherwise.
set(QSN_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/qsnserver)
set(QSN_SERVER_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/qsnserver)


# Debian keeps manual pages and changelogs compressed, and without a time
# stamp in the gzip header, so that two builds give the same bytes.
set(qsn_compressed)
function(qsn_gzip source name)
  set(output ${QSN_GENERATED_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" qsn-gzip ${source} ${output}
    DEPENDS ${source} VERBATIM)
  set(qsn_compressed ${qsn_compressed} ${output} PARENT_SCOPE)
endfunction()
qsn_gzip(${PROJECT_SOURCE_DIR}/man/qsnclient.1 qsnclient.1)
qsn_gzip(${PROJECT_SOURCE_DIR}/man/qsnpack.1 qsnpack.1)
qsn_gzip(${PROJECT_SOURCE_DIR}/man/qsnserver.8 qsnserver.8)
qsn_gzip(${QSN_PACKAGING_DIR}/changelog changelog)
add_custom_target(qsn_compressed_docs ALL DEPENDS ${qsn_compressed})

install(FILES ${QSN_GENERATED_DIR}/qsnclient.1.gz ${QSN_GENERATED_DIR}/qsnpack.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)
install(FILES ${QSN_PACKAGING_DIR}/copyright ${QSN_GENERATED_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT client)

# The server: the program in sbin, since it is run as a system service.
if(TARGET qsnserver)
  install(TARGETS qsnserver RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
          COMPONENT server)
  install(FILES ${QSN_GENERATED_DIR}/qsnserver.8.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT server)
  install(FILES server/README.md ${QSN_PACKAGING_DIR}/copyright
                ${QSN_GENERATED_DIR}/changelog.gz
          DESTINATION ${QSN_SERVER_DOCDIR} COMPONENT server)
  install(FILES server/example_app.tcl DESTINATION ${QSN_SERVER_DOCDIR}/examples
          COMPONENT server)
  # The service starts with the example application; both files are the
  # administrator's to change.
  install(FILES server/example_app.tcl DESTINATION ${QSN_CONFDIR} RENAME app.tcl
          COMPONENT server)
  install(FILES ${QSN_PACKAGING_DIR}/qsnserver.options DESTINATION ${QSN_CONFDIR}
          RENAME options COMPONENT server)
  # systemd looks in PREFIX/lib, not in the multiarch library folder.
  configure_file(${QSN_PACKAGING_DIR}/qsnserver.service.in
                 ${QSN_GENERATED_DIR}/qsnserver.service @ONLY)
  install(FILES ${QSN_GENERATED_DIR}/qsnserver.service
          DESTINATION lib/systemd/system COMPONENT server)
  install(FILES ${QSN_PACKAGING_DIR}/qsnserver.sysusers DESTINATION lib/sysusers.d
          RENAME qsnserver.conf COMPONENT server)
endif()

# The control files of the server package: dpkg wants these exact names.
foreach(script postinst prerm postrm)
  configure_file(${QSN_PACKAGING_DIR}/qsnserver.${script}
                 ${QSN_GENERATED_DIR}/server/${script} COPYONLY)
endforeach()
configure_file(${QSN_PACKAGING_DIR}/conffiles.in ${QSN_GENERATED_DIR}/server/conffiles
               @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qsnclient)
set(CPACK_PACKAGE_VERSION ${QSN_VERSION})
set(QSN_PACKAGE_MAINTAINER
    "qsnclient maintainers <maintainers@users.noreply.c-seed-119b9047.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT ${QSN_PACKAGE_MAINTAINER})
# The packages hold what `cmake --install` puts under this prefix; /etc
# follows from it (see QSN_CONFDIR).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client)
if(TARGET qsnserver)
  list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE qsnclient)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME qsnclient)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
    "host that runs a packed Tcl/Tk client application
qsnclient embeds a Tcl interpreter with Tk, deciphers the application
script init.dat found in its working directory and runs it. The script
gets a leveled log file and sessions over HTTP or HTTPS on an application
server, to which it sends commands and from which it gets results or the
server's error trace.

The package also holds qsnpack, which packs a UTF-8 Tcl script into
init.dat and back.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME qsnserver)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "systemd | systemd-standalone-sysusers | systemd-sysusers")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${QSN_GENERATED_DIR}/server/postinst ${QSN_GENERATED_DIR}/server/prerm
    ${QSN_GENERATED_DIR}/server/postrm ${QSN_GENERATED_DIR}/server/conffiles)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "reference application server for qsnclient
qsnserver serves an application written in Tcl to qsnclient over HTTP or
HTTPS: every request calls a proc of the application, and the reply
carries its result or its error trace.

The package runs it as a confined systemd service under its own system
user, with the application and its options in /etc/qsnserver.")

include(CPack)
