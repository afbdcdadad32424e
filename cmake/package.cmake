# Install rules and the Debian package: the program, its manual page, its bash completion and its
# documentation under the usual prefix; `cmake --install` takes DESTDIR, and scripts/package.sh
# makes the .deb from these same rules with CPack.
include(GNUInstallDirs)

install(TARGETS jexley RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/jexley.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/doc/jexley.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME jexley)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
foreach(licence LICENSE LICENSE.md COPYING)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${licence})
    install(FILES ${CMAKE_SOURCE_DIR}/${licence} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jexley)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Jexley developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAN chat and file transfer in a terminal")
set(CPACK_PACKAGE_DESCRIPTION
    "People on a LAN find each other, chat in group and direct channels and send each other files verified with SHA-256, with no server: every host runs one Jexley (UDP ports 8855 and 8856). It runs in a terminal, or from scripts.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://jexley.org/docs")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
# Depends is worked out by dpkg-shlibdeps from the libraries the program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# jexley_<version>_<arch>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
