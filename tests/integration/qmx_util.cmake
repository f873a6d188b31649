# The support library's utilities, through its import: a gtest program and
# a probe for what needs a process of its own. Under Wine, the shutdown runs
# in a prefix of its own, since it ends the Wine session of its prefix.
add_executable(qmx_probe ${CMAKE_CURRENT_LIST_DIR}/qmx_probe.cpp)
target_link_libraries(qmx_probe PRIVATE QMXDLL)

cvn_add_gtest(NAME qmx_util_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/qmx_util_test.cpp
  LIBS QMXDLL cvn_test_support
  LABELS integration)
add_dependencies(qmx_util_tests qmx_probe)

if(WIN32)
  add_test(NAME qmx_shutdown_os_wine
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/shutdown_os_wine.sh ${PROJECT_BINARY_DIR} $<TARGET_FILE:qmx_probe>)
  set_tests_properties(qmx_shutdown_os_wine PROPERTIES LABELS integration TIMEOUT 240)
endif()
