# The Debian packages: built with CPack into a scratch folder and checked there.
# packaging/package.cmake (included from the top level) writes the CPackConfig.cmake it uses.

# CTest builds nothing itself: this brings the program up to date before it is packaged.
add_test(NAME package_build
  COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target newsbench newsbench-reportd)
set_tests_properties(package_build PROPERTIES
  TIMEOUT 300
  FIXTURES_SETUP newsbench_program
  LABELS package)

# Both packages, the desktop program's and the report service's, in one cpack run.
add_test(NAME package_deb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package/check_package.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(package_deb PROPERTIES
  TIMEOUT 300
  FIXTURES_REQUIRED newsbench_program
  LABELS package)
