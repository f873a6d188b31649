# CVNRemote started as a user starts it: command line, settings, tracing.
cvn_add_gtest(NAME client_start_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_start_test.cpp
  LIBS upssimlib cvn_test_support
  LABELS integration)
add_dependencies(client_start_tests CVNRemote)
