# The shutdown helper, the system shutdown and the user notices, driven
# through the application object by notify_driver and watched through the
# recording fakes of ClientEnv.
add_executable(notify_driver ${CMAKE_CURRENT_LIST_DIR}/notify_driver.cpp)
target_link_libraries(notify_driver PRIVATE cvnclient)

cvn_add_gtest(NAME notify_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/notify_test.cpp
  LIBS cvn_test_support
  LABELS integration)
add_dependencies(notify_tests notify_driver)
if(WIN32)
  # Wine takes its own copies of these libraries before any file of the same
  # name; so told, it searches for them as Windows does, the program's folder
  # first, and the test of the system folder's libraries can fail. Read from
  # the environment Wine started the test program with, not from what the
  # test passes to a program it starts.
  set_property(TEST notify_tests APPEND PROPERTY
    ENVIRONMENT "WINEDLLOVERRIDES=mscoree,mshtml=\\;wtsapi32,powrprof=n,b")
endif()

if(WIN32)
  # ExitWindowsEx ends the Wine session of the prefix: these tests get a
  # prefix of their own, so that the tests running meanwhile in the shared
  # one go on undisturbed. Created once, then kept in the build tree.
  set(CVN_SHUTDOWN_WINE ${PROJECT_BINARY_DIR}/shutdown-wine)
  file(MAKE_DIRECTORY ${CVN_SHUTDOWN_WINE})
  add_test(NAME shutdown_prefix_setup
           COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix setup ${CVN_SHUTDOWN_WINE})
  add_test(NAME shutdown_prefix_cleanup
           COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix cleanup ${CVN_SHUTDOWN_WINE})
  set_tests_properties(shutdown_prefix_setup PROPERTIES FIXTURES_SETUP shutdown_wine TIMEOUT 240)
  set_tests_properties(shutdown_prefix_cleanup PROPERTIES FIXTURES_CLEANUP shutdown_wine)

  # Declared by hand: the program runs with its Wine trace in a file that it
  # reads (wine_trace.sh).
  add_executable(shutdown_tests ${CMAKE_CURRENT_LIST_DIR}/shutdown_test_win32.cpp)
  target_link_libraries(shutdown_tests PRIVATE cvn_test_support GTest::gtest_main)
  add_dependencies(shutdown_tests notify_driver CVNShutdown)
  add_test(NAME shutdown_tests
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/wine_trace.sh
                   ${PROJECT_SOURCE_DIR}/cmake/wine-run $<TARGET_FILE:shutdown_tests>)
  set_tests_properties(shutdown_tests PROPERTIES
    FIXTURES_REQUIRED shutdown_wine
    RESOURCE_LOCK shutdown_wine
    LABELS integration
    ENVIRONMENT "WINEPREFIX=${CVN_SHUTDOWN_WINE}/wineprefix;CVN_WINE_TRACE=${CMAKE_CURRENT_BINARY_DIR}/shutdown_tests.trace")
endif()
