# The import tables of the Windows deliverables against the reference table
# of the oldest Windows that exports each function (both Windows builds, on
# every machine: it reads the files, it runs nothing).
if(WIN32)
  add_test(NAME import_check
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/import_check.sh ${CMAKE_OBJDUMP} ${CVN_WINE_ARCH}
                   $<TARGET_FILE:CVNRemote> $<TARGET_FILE:QMXDLL> $<TARGET_FILE:CVNShutdown>)
endif()
