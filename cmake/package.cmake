# SPDX-License-Identifier: ISC
# Installation, GNU layout: programs in sbin/ (section 8, as their manuals),
# manual pages in share/man/man8, the administrator's pages (one a task, the
# reference, the figures) and the example files they install in
# share/doc/kestrix. The Debian package (debian/) is made from this install.
# The developers' pages (docs/TESTING.md, RELIABILITY.md, ARCHITECTURE.md,
# CHANGES.md) stay in the source tree.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(program scrivel hoodwain kestrix-deadline kestrix-accept)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
endforeach()

set(kestrix_doc_pages ident-systemd.md ident-runit.md ident-xinetd.md scrivel-logging.md central-logging.md
  REFERENCE.md PERFORMANCE.md)
list(TRANSFORM kestrix_doc_pages PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/docs/)
install(FILES ${kestrix_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Run scripts and wrappers stay executable; unit files and configurations not.
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/deploy/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  PATTERN run PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  PATTERN hoodwain-xinetd PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  PATTERN ident-central-repair PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  PATTERN ident-forward-rewind PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
