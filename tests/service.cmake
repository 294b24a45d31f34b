# The report service's HTTP tests, once against SQLite and once against PostgreSQL (which
# scripts/test.sh starts and names in NEWSBENCH_TEST_POSTGRES), and the browser test.
function(newsbench_service_tests_setup)
  if(NOT TARGET tst_reportd)
    return()
  endif()
  target_link_libraries(tst_reportd PRIVATE newsbench_service)
  target_compile_definitions(tst_reportd PRIVATE NEWSBENCH_REPORTD="$<TARGET_FILE:newsbench-reportd>")
  add_dependencies(tst_reportd newsbench-reportd)
  set_tests_properties(tst_reportd PROPERTIES ENVIRONMENT "NEWSBENCH_TEST_DATABASE=sqlite")
  add_test(NAME tst_reportd_postgresql COMMAND tst_reportd)
  set_tests_properties(tst_reportd_postgresql PROPERTIES
    TIMEOUT 240
    ENVIRONMENT "NEWSBENCH_TEST_DATABASE=postgres"
    RESOURCE_LOCK postgresql)
endfunction()
cmake_language(DEFER CALL newsbench_service_tests_setup)

# The whole way a user goes: a real run of the program against the tests' INN, its report
# address opened in headless Chromium, 登録 pressed, the ranking and the chart found.
# Screenshots land in screenshots/ of the build tree.
find_program(NEWSBENCH_CHROMEDRIVER chromedriver)
find_program(NEWSBENCH_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NEWSBENCH_CHROMEDRIVER AND NEWSBENCH_SYSTEM_PYTHON AND TARGET newsbench)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/screenshots)
  add_test(NAME browser_report_flow
    COMMAND ${NEWSBENCH_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/browser/report_flow.py
            $<TARGET_FILE:newsbench> $<TARGET_FILE:newsbench-reportd> ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(browser_report_flow PROPERTIES
    TIMEOUT 180
    RESOURCE_LOCK inn_server
    LABELS "inn;browser")
endif()
# The same pages on a desktop and a phone screen, from made-up reports: no news server needed.
if(NEWSBENCH_CHROMEDRIVER AND NEWSBENCH_SYSTEM_PYTHON AND TARGET newsbench-reportd)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/screenshots)
  add_test(NAME browser_report_pages
    COMMAND ${NEWSBENCH_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/browser/report_flow.py
            --pages $<TARGET_FILE:newsbench-reportd> ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(browser_report_pages PROPERTIES
    TIMEOUT 120
    LABELS "browser")
endif()
