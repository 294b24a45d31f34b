# Desktop integration and the Debian package. Included from the top-level CMakeLists.txt,
# after project(), so PROJECT_VERSION is the program's own.
#   cpack -G DEB            (in the build folder) writes newsbench_<version>_<arch>.deb

include(GNUInstallDirs)

# One id for the launcher and the icon, so the menu finds the icon by the launcher's Icon key.
set(NEWSBENCH_APP_ID newsbench)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/newsbench.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
  RENAME ${NEWSBENCH_APP_ID}.desktop)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/newsbench.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${NEWSBENCH_APP_ID}.svg)

set(NEWSBENCH_PACKAGE_MAINTAINER "newsbench maintainers <newsbench@localhost>"
  CACHE STRING "Maintainer line of the Debian package")

set(CPACK_PACKAGE_NAME newsbench)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NEWSBENCH_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "benchmark for Usenet news servers (Japanese interface)")
set(CPACK_PACKAGE_DESCRIPTION
  "A desktop program that measures an NNTP news server: it reads the greeting, downloads the\n"
  "full group list and measures its speed, counts the groups of five hierarchies and\n"
  "estimates how many days of articles the server keeps. Results can be copied as a text\n"
  "report or sent to a report page in the browser. The user interface is in Japanese.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# Debian installs under /usr; the package is built from a stripped copy of the binary.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION news)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(NEWSBENCH_DPKG dpkg)
if(NEWSBENCH_DPKG)
  execute_process(COMMAND ${NEWSBENCH_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# Neither linked nor found by dpkg-shlibdeps: Qt's platform plugins load at run time, the
# window asks for the IPAPGothic font by name, the report page opens with xdg-open, and a TLS
# server's certificate is checked against the system's authorities.
set(newsbench_runtime_depends "qt6-qpa-plugins, fonts-ipafont-gothic, xdg-utils, ca-certificates")
find_program(NEWSBENCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NEWSBENCH_DPKG_SHLIBDEPS)
  # The linked libraries (Qt, libc, libstdc++) with the versions this build needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${newsbench_runtime_depends}")
else()
  # Without dpkg-dev, name the Qt libraries the program links ourselves.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), ${newsbench_runtime_depends}")
endif()

include(CPack)
