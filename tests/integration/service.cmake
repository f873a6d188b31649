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
