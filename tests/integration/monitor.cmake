# The real CVNRemote against the simulator, natively and under Wine. A
# shutdown under Wine ends the session of its prefix: there these tests run
# in the prefix of the shutdown tests, one test program at a time.
if(WIN32)
  add_executable(monitor_tests ${CMAKE_CURRENT_LIST_DIR}/monitor_test.cpp)
  target_link_libraries(monitor_tests PRIVATE upssimlib cvn_test_support GTest::gtest_main)
  target_include_directories(monitor_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_dependencies(monitor_tests CVNRemote)
  add_test(NAME monitor_tests
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/quiet_run.sh
                   ${PROJECT_SOURCE_DIR}/cmake/wine-run $<TARGET_FILE:monitor_tests>)
  set_tests_properties(monitor_tests PROPERTIES
    FIXTURES_REQUIRED shutdown_wine
    RESOURCE_LOCK shutdown_wine
    LABELS integration
    ENVIRONMENT "WINEPREFIX=${PROJECT_BINARY_DIR}/shutdown-wine/wineprefix")
else()
  cvn_add_gtest(NAME monitor_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/monitor_test.cpp
    LIBS upssimlib cvn_test_support
    LABELS integration)
  add_dependencies(monitor_tests CVNRemote)
endif()
