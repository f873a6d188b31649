# The real CVNRemote against the simulator, natively and under Wine.
if(WIN32)
  cvn_add_shutdown_prefix_test(NAME monitor_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/monitor_test.cpp
    LIBS upssimlib cvn_test_support
    DEPENDS CVNRemote cvn_recorder)
else()
  cvn_add_gtest(NAME monitor_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/monitor_test.cpp
    LIBS upssimlib cvn_test_support
    LABELS integration)
  add_dependencies(monitor_tests CVNRemote)
endif()
