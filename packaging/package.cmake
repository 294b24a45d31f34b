# Desktop integration and the Debian packages. Included from the top-level CMakeLists.txt,
# after project(), so PROJECT_VERSION is the program's own.
#   cpack -G DEB            (in the build folder) writes newsbench_<version>_<arch>.deb (the
#                           desktop program) and newsbench-reportd_<version>_<arch>.deb (the
#                           report service)

include(GNUInstallDirs)

# One id for the launcher and the icon, so the menu finds the icon by the launcher's Icon key.
set(NEWSBENCH_APP_ID newsbench)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/newsbench.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
  RENAME ${NEWSBENCH_APP_ID}.desktop
  COMPONENT desktop)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/newsbench.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${NEWSBENCH_APP_ID}.svg
  COMPONENT desktop)
# The service runs under systemd as its own user; the maintainer scripts make the user.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/reportd/newsbench-reportd.service
  DESTINATION lib/systemd/system
  COMPONENT service)
# Its settings, kept across upgrades as a conffile.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/reportd/default
  DESTINATION /etc/default
  RENAME newsbench-reportd
  COMPONENT service)

set(NEWSBENCH_PACKAGE_MAINTAINER "newsbench maintainers <newsbench@localhost>"
  CACHE STRING "Maintainer line of the Debian package")

set(CPACK_PACKAGE_NAME newsbench)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NEWSBENCH_PACKAGE_MAINTAINER}")

# One package per component. Each description's first line is its summary.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL desktop service)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME newsbench)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME newsbench-reportd)
string(JOIN "" CPACK_DEBIAN_DESKTOP_DESCRIPTION
  "benchmark for Usenet news servers (Japanese interface)\n"
  "A desktop program that measures an NNTP news server: it reads the greeting, downloads the\n"
  "full group list and measures its speed, counts the groups of five hierarchies and\n"
  "estimates how many days of articles the server keeps. Results can be copied as a text\n"
  "report or sent to a report page in the browser. The user interface is in Japanese.")
string(JOIN "" CPACK_DEBIAN_SERVICE_DESCRIPTION
  "report service and news server ranking for newsbench\n"
  "A small web service that receives the reports the newsbench desktop program sends,\n"
  "records them in SQLite or PostgreSQL and ranks news servers on Japanese web pages, with\n"
  "each server's history drawn as charts and a JSON API. Runs under systemd as its own\n"
  "user, listening on 127.0.0.1:8080 with its database in /var/lib/newsbench-reportd.")
# Debian installs under /usr; the package is built from a stripped copy of the binary.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION news)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION web)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_LIST_DIR}/reportd/postinst;${CMAKE_CURRENT_LIST_DIR}/reportd/prerm;${CMAKE_CURRENT_LIST_DIR}/reportd/postrm;${CMAKE_CURRENT_LIST_DIR}/reportd/conffiles")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(NEWSBENCH_DPKG dpkg)
if(NEWSBENCH_DPKG)
  execute_process(COMMAND ${NEWSBENCH_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# Neither linked nor found by dpkg-shlibdeps: Qt's platform plugins load at run time, the
# window asks for the IPAPGothic font by name, the report page opens with xdg-open, and a TLS
# server's certificate is checked against the system's authorities. The service loads its SQL
# drivers as plugins and makes its user with adduser.
set(newsbench_runtime_depends "qt6-qpa-plugins, fonts-ipafont-gothic, xdg-utils, ca-certificates")
set(newsbench_reportd_runtime_depends "libqt6sql6-sqlite, libqt6sql6-psql, adduser")
find_program(NEWSBENCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NEWSBENCH_DPKG_SHLIBDEPS)
  # The linked libraries (Qt, libc, libstdc++) with the versions this build needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "${newsbench_runtime_depends}")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "${newsbench_reportd_runtime_depends}")
else()
  # Without dpkg-dev, name the Qt libraries the programs link ourselves.
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), ${newsbench_runtime_depends}")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6network6 (>= 6.4), libqt6httpserver6 (>= 6.4), libqt6websockets6 (>= 6.4), libqt6sql6 (>= 6.4), ${newsbench_reportd_runtime_depends}")
endif()

include(CPack)
