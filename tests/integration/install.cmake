# What an administrator installs: the setup program silently installed,
# upgraded and removed under Wine (in a prefix of its own, made afresh each
# run).
if(WIN32)
  get_property(_setup GLOBAL PROPERTY CVN_SETUP_PROGRAM)
  add_test(NAME install_setup
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_wine.sh ${PROJECT_BINARY_DIR} ${_setup} ${PROJECT_VERSION})
  # Skipped (77) where a 32-bit setup cannot run.
  set_tests_properties(install_setup PROPERTIES LABELS integration SKIP_RETURN_CODE 77)
endif()
