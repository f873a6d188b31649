# CVNRemote under Wine's service manager, with its own commands and with
# Wine's sc.exe and net.exe.
if(WIN32)
  cvn_add_gtest(NAME service_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_test.cpp
    LIBS cvn_test_support
    LABELS integration)
  add_dependencies(service_tests CVNRemote)
endif()

# The monitor in service mode, ending with a shutdown.
if(WIN32)
  cvn_add_shutdown_prefix_test(NAME service_monitor_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_monitor_test.cpp
    LIBS upssimlib cvn_test_support
    DEPENDS CVNRemote cvn_recorder
    ENVIRONMENT "CVN_SERVICES_LOG=${PROJECT_BINARY_DIR}/shutdown-wine/wine-services.log")
endif()
