# CVNRemote under Wine's service manager. The tests share the one service
# name of the prefix, so they never run beside each other.
if(WIN32)
  cvn_add_gtest(NAME service_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_test.cpp
    LIBS cvn_test_support
    LABELS integration)
  add_dependencies(service_tests CVNRemote)
  set_tests_properties(service_tests PROPERTIES RESOURCE_LOCK wine_service)
endif()

# The monitor in service mode ends with a shutdown, which ends the session of
# its prefix: these run in the prefix of the shutdown tests.
if(WIN32)
  add_executable(service_monitor_tests ${CMAKE_CURRENT_LIST_DIR}/service_monitor_test.cpp)
  target_link_libraries(service_monitor_tests PRIVATE upssimlib cvn_test_support GTest::gtest_main)
  target_include_directories(service_monitor_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_dependencies(service_monitor_tests CVNRemote cvn_recorder)
  add_test(NAME service_monitor_tests
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/quiet_run.sh
                   ${PROJECT_SOURCE_DIR}/cmake/wine-run $<TARGET_FILE:service_monitor_tests>)
  set_tests_properties(service_monitor_tests PROPERTIES
    FIXTURES_REQUIRED shutdown_wine
    RESOURCE_LOCK shutdown_wine
    LABELS integration
    ENVIRONMENT "WINEPREFIX=${PROJECT_BINARY_DIR}/shutdown-wine/wineprefix;CVN_SERVICES_LOG=${PROJECT_BINARY_DIR}/shutdown-wine/wine-services.log")
endif()
