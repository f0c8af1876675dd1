# SPDX-License-Identifier: ISC
# Installation (GNU layout: programs in sbin/ (section 8, as their manuals), manual pages in share/man/man8,
# the deployment guide and its recipe files in share/doc/kestrix) and the
# Debian package built from it with `cpack -G DEB`.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(program scrivel hoodwain)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
endforeach()

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/DEPLOY.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Run scripts and wrappers stay executable; unit files and configurations not.
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/deploy/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  PATTERN run PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  PATTERN hoodwain-xinetd PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(KESTRIX_MAINTAINER "kestrix maintainers <maintainers@kestrix.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KESTRIX_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "line logger and anonymous ident responder for supervised services")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTRIX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Computed by dpkg-shlibdeps; statically linked programs need nothing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ucspi-tcp, runit, logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The paragraph below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "scrivel appends its standard input, line by line, to one log file, each
record written synchronously and optionally stamped with the local time; it
reopens the file on SIGHUP, for log rotation, and writes out everything it
holds on SIGTERM. hoodwain answers Identification Protocol (RFC 1413)
queries on one connection handed over by a super-server such as tcpserver,
xinetd or systemd, always with the same anonymous reply, after confining
itself to a directory, a group and a user. Deployment recipes for runit,
systemd, xinetd and logrotate are included.")

include(CPack)
