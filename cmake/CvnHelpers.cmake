# Source lists with the platform seam: a file ending in _win32.cpp is built
# only for Windows, one ending in _posix.cpp only natively.
function(cvn_glob_sources out)
  file(GLOB _all CONFIGURE_DEPENDS ${ARGN})
  if(WIN32)
    list(FILTER _all EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER _all EXCLUDE REGEX "_win32\\.cpp$")
  endif()
  set(${out} ${_all} PARENT_SCOPE)
endfunction()

# A GoogleTest program. Natively each test case becomes a CTest test; under
# Wine a program is one CTest test (each start of a Windows program costs
# time), run in the build tree's Wine prefix. Tests find the programs of the
# build beside themselves (support/process.h: BinPath).
#   cvn_add_gtest(NAME <name> SOURCES ... [LIBS ...] [LABELS ...])
function(cvn_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(WIN32)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
      FIXTURES_REQUIRED wine
      LABELS "${T_LABELS}")
  else()
    gtest_discover_tests(${T_NAME}
      DISCOVERY_TIMEOUT 30
      PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# A Windows test program that lets the client shut down: a shutdown ends the
# session of its Wine prefix, so it runs in the prefix of the shutdown tests
# (tests/integration/shutdown.cmake), one such program at a time, in a
# session started afresh for it, with its output through a file
# (tests/integration/quiet_run.sh).
#   cvn_add_shutdown_prefix_test(NAME <name> SOURCES ... [LIBS ...] [DEPENDS ...] [ENVIRONMENT ...])
function(cvn_add_shutdown_prefix_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;DEPENDS;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  add_test(NAME ${T_NAME}
           COMMAND ${PROJECT_SOURCE_DIR}/tests/integration/quiet_run.sh
                   --fresh-prefix ${PROJECT_BINARY_DIR}/shutdown-wine
                   ${PROJECT_SOURCE_DIR}/cmake/wine-run $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES
    FIXTURES_REQUIRED shutdown_wine
    RESOURCE_LOCK shutdown_wine
    LABELS integration
    ENVIRONMENT "WINEPREFIX=${PROJECT_BINARY_DIR}/shutdown-wine/wineprefix;${T_ENVIRONMENT}")
endfunction()

# A test's stand-in for a system library that the client looks functions up
# in by name (client/looked_up.h). It must export exactly the names that
# GetProcAddress is given, in both Windows builds; the 32-bit compilers
# decorate a WINAPI function's name (WTSFreeMemory@4), so every such stand-in
# is linked with --kill-at, and export_check reads what each one exports.
#   cvn_add_system_library_standin(NAME <target> PLAYS <library.dll> SOURCES ...)
function(cvn_add_system_library_standin)
  cmake_parse_arguments(S "" "NAME;PLAYS" "SOURCES" ${ARGN})
  add_library(${S_NAME} SHARED ${S_SOURCES})
  set_target_properties(${S_NAME} PROPERTIES PREFIX "")
  target_link_options(${S_NAME} PRIVATE -Wl,--kill-at)
  set_property(GLOBAL APPEND PROPERTY CVN_SYSTEM_LIBRARY_STANDINS "${S_PLAYS}=$<TARGET_FILE:${S_NAME}>")
endfunction()
