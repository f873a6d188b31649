# The administrator's commands through the real CVNRemote. Under Wine the
# shutdown that follows a failed action ends the session of the prefix.
if(WIN32)
  cvn_add_shutdown_prefix_test(NAME commands_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_test.cpp
    LIBS upssimlib cvn_test_support
    DEPENDS CVNRemote cvn_recorder)
else()
  cvn_add_gtest(NAME commands_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_test.cpp
    LIBS upssimlib cvn_test_support
    LABELS integration)
  add_dependencies(commands_tests CVNRemote)
endif()
