# The report tests read the version records of small executables built here, and of the
# program itself; the window's captions are read from a real X server.

function(newsbench_version_fixture name)
  add_executable(${name} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/versionfixture.cpp)
  if(ARGC EQUAL 6)
    target_compile_definitions(${name} PRIVATE
      FIXTURE_MAJOR=${ARGV1} FIXTURE_MINOR=${ARGV2} FIXTURE_RELEASE=${ARGV3}
      FIXTURE_BUILD=${ARGV4} FIXTURE_FLAGS=${ARGV5})
  endif()
endfunction()

newsbench_version_fixture(versionfixture_none)
newsbench_version_fixture(versionfixture_max 65535 65535 65535 65535 2)
newsbench_version_fixture(versionfixture_beta 1 1 0 53 1)
newsbench_version_fixture(versionfixture_flags3 1 1 0 53 3)

target_compile_definitions(tst_report PRIVATE
  FIXTURE_NONE="$<TARGET_FILE:versionfixture_none>"
  FIXTURE_MAX="$<TARGET_FILE:versionfixture_max>"
  FIXTURE_BETA="$<TARGET_FILE:versionfixture_beta>"
  FIXTURE_FLAGS3="$<TARGET_FILE:versionfixture_flags3>"
  NEWSBENCH_PROGRAM="$<TARGET_FILE:newsbench>")
add_dependencies(tst_report versionfixture_none versionfixture_max versionfixture_beta
                 versionfixture_flags3 newsbench)

find_program(XVFB_RUN xvfb-run)
if(XVFB_RUN)
  add_test(NAME tst_window_xcb COMMAND ${XVFB_RUN} -a $<TARGET_FILE:tst_window> captions)
  set_tests_properties(tst_window_xcb PROPERTIES TIMEOUT 120 ENVIRONMENT
    "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
endif()
