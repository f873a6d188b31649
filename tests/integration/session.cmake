# The UPS server simulator, and the client's session with a UPS server
# played by it.
cvn_add_gtest(NAME upssim_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/upssim_test.cpp
  LIBS upssimlib cvn_test_support
  LABELS integration)
add_dependencies(upssim_tests upssim)
# Where the bundled example scenario lies, for the test that reads it.
target_compile_definitions(upssim_tests PRIVATE
  UPSSIM_EXAMPLE_SCENARIO="${PROJECT_SOURCE_DIR}/tools/example.scenario")

# Sessions made by the application object against the simulator.
cvn_add_gtest(NAME session_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp
  LIBS cvnclient QMXDLL upssimlib cvn_test_support
  LABELS integration)
