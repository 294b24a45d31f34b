# Report tests: small executables carrying version records for tst_versionstring, and a
# second run of the clipboard tests against a real X server.

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

# Deferred to the end of the directory, so the test targets exist wherever this is included.
function(newsbench_report_tests_setup)
  if(TARGET tst_versionstring)
    target_compile_definitions(tst_versionstring PRIVATE
      FIXTURE_NONE="$<TARGET_FILE:versionfixture_none>"
      FIXTURE_MAX="$<TARGET_FILE:versionfixture_max>"
      FIXTURE_BETA="$<TARGET_FILE:versionfixture_beta>"
      FIXTURE_FLAGS3="$<TARGET_FILE:versionfixture_flags3>")
    add_dependencies(tst_versionstring
      versionfixture_none versionfixture_max versionfixture_beta versionfixture_flags3)
    # The program itself is checked when it has been built; the test does not build it.
    if(TARGET newsbench)
      target_compile_definitions(tst_versionstring PRIVATE
        NEWSBENCH_PROGRAM="$<TARGET_FILE:newsbench>")
    endif()
  endif()

  find_program(XVFB_RUN xvfb-run)
  if(TARGET tst_textreport AND XVFB_RUN)
    add_test(NAME tst_textreport_xcb
      COMMAND ${XVFB_RUN} -a $<TARGET_FILE:tst_textreport>
              copyPutsBothFlavours copyReplacesFormerContents badSpeedLeavesClipboard
              otherProgramsPasteTheReport)
    set_tests_properties(tst_textreport_xcb PROPERTIES
      TIMEOUT 120
      ENVIRONMENT "QT_QPA_PLATFORM=xcb")
  endif()
endfunction()
cmake_language(DEFER CALL newsbench_report_tests_setup)
