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

  # The tests' stand-ins for system libraries export exactly the names the
  # client looks up (client/looked_up.h), undecorated, whichever build.
  get_property(CVN_STANDINS GLOBAL PROPERTY CVN_SYSTEM_LIBRARY_STANDINS)
  add_test(NAME export_check
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/export_check.sh ${CVN_READOBJ}
                   ${PROJECT_SOURCE_DIR}/client/looked_up.h ${CVN_STANDINS})
  add_test(NAME export_check_refusals
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/export_check_test.sh ${CVN_READOBJ})

  # "static": they read files and run nothing, so scripts/test.sh runs them
  # even where the build's programs cannot run.
  set_tests_properties(import_check export_check PROPERTIES LABELS static)
  set_tests_properties(import_check_refusals export_check_refusals PROPERTIES LABELS "integration;static")
endif()

# Natively: the run path of the client and its library names the build's
# folder alone. An empty element (CMake's padding for the rewrite at
# install) makes the loader look in the current folder for libasan and
# libstdc++ first, so that whoever starts the client elsewhere chooses what
# it loads.
if(NOT WIN32)
  add_test(NAME runpath_check
           COMMAND sh -c "for f in \"$@\"; do p=$(readelf -d \"$f\" | sed -n 's/.*(RUNPATH).*\\[\\(.*\\)\\]$/\\1/p'); \
[ -z \"$p\" ] || case \":$p:\" in *::*) echo \"$f: run path [$p] has an empty element\"; exit 1;; esac; \
echo \"$f: [$p]\"; done" runpath
                   $<TARGET_FILE:CVNRemote> $<TARGET_FILE:QMXDLL>)
  set_tests_properties(runpath_check PROPERTIES LABELS static)
endif()
