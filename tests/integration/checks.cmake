# The checks an administrator runs by hand: "status" against the simulator,
# and a test "notice" through the recording stand-ins.
cvn_add_gtest(NAME checks_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/checks_test.cpp
  LIBS upssimlib cvn_test_support
  LABELS integration)
add_dependencies(checks_tests CVNRemote)
