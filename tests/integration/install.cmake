# What an administrator installs: the setup program and the Windows
# Installer package silently installed, upgraded and removed under Wine (in a prefix of its own, made afresh each
# run), and the Debian package checked, taken through dpkg in a scratch
# root, and run under systemd in a container.
if(WIN32)
  get_property(_setup GLOBAL PROPERTY CVN_SETUP_PROGRAM)
  get_property(_msi GLOBAL PROPERTY CVN_MSI_PACKAGE)
  add_test(NAME install_setup
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_wine.sh ${PROJECT_BINARY_DIR} ${_setup} ${PROJECT_VERSION} ${_msi})
  # Skipped (77) where a 32-bit setup cannot run.
  set_tests_properties(install_setup PROPERTIES LABELS integration SKIP_RETURN_CODE 77)
else()
  get_property(_deb GLOBAL PROPERTY CVN_DEBIAN_PACKAGE)
  if(_deb)
    add_test(NAME install_deb COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_deb.sh ${_deb} $<TARGET_FILE:upssim>
             ${PROJECT_SOURCE_DIR}/docs)
    set_tests_properties(install_deb PROPERTIES LABELS integration)
    # The unit under a real systemd, in a container; skipped (77) without
    # systemd-nspawn or root.
    add_test(NAME install_deb_boot
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_deb_boot.sh ${_deb} $<TARGET_FILE:upssim>)
    set_tests_properties(install_deb_boot PROPERTIES LABELS integration SKIP_RETURN_CODE 77)
  endif()
endif()
