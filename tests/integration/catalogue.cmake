# The message catalogue and the error reports seen from outside: the
# resource against the generated table and Wine's FormatMessageA against our
# formatter (Windows), reports on standard error and in the Event Log.
add_executable(report_probe ${CMAKE_CURRENT_LIST_DIR}/report_probe.cpp)
target_link_libraries(report_probe PRIVATE cvnclient)

cvn_add_gtest(NAME catalogue_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue_test.cpp
  LIBS cvnclient cvn_test_support
  LABELS integration)
add_dependencies(catalogue_tests report_probe)

if(WIN32)
  add_test(NAME catalogue_event_log
           COMMAND ${CMAKE_COMMAND} -DLAUNCHER=${PROJECT_SOURCE_DIR}/cmake/wine-run
                   -DPROBE=$<TARGET_FILE:report_probe>
                   -P ${CMAKE_CURRENT_LIST_DIR}/scripts/event_log_check.cmake)
  set_tests_properties(catalogue_event_log PROPERTIES FIXTURES_REQUIRED wine LABELS integration)
endif()
