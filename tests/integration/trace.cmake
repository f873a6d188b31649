# The trace channel seen from a separate program through QMXDLL's import.
add_executable(dll_probe ${CMAKE_CURRENT_LIST_DIR}/dll_probe.cpp)
target_link_libraries(dll_probe PRIVATE QMXDLL)

cvn_add_gtest(NAME trace_dll_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trace_dll_test.cpp
  LIBS cvn_test_support
  LABELS integration)
add_dependencies(trace_dll_tests dll_probe)
