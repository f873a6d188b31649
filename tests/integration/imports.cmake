# The import tables of the Windows deliverables against the reference table
# of the oldest Windows that exports each function (both Windows builds, on
# every machine: it reads the files, it runs nothing), and of the client
# built for the installer package's Binary table. GNU objdump does not
# decode delay-load tables; llvm-readobj prints them, ordinals and names.
if(WIN32)
  find_program(CVN_READOBJ NAMES llvm-readobj-14 llvm-readobj REQUIRED)
  add_test(NAME import_check
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/import_check.sh ${CVN_READOBJ} ${CVN_WINE_ARCH}
                   $<TARGET_FILE:CVNRemote> $<TARGET_FILE:QMXDLL> $<TARGET_FILE:CVNShutdown>
                   $<TARGET_FILE:CVNRemoteAction>)
  # What it refuses, on small images made for the purpose.
  add_test(NAME import_check_refusals
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/import_check_test.sh ${CVN_READOBJ})
  set_tests_properties(import_check_refusals PROPERTIES LABELS integration)
endif()
