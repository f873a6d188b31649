# The Event Log report of CCVNException under Wine, seen through Wine's own
# trace of the Event Log functions: ReportEventA writes its arguments on a
# fixme:advapi line and the insert strings, line by line, on the eventlog
# channel (err: for errors, warn: for warnings, trace: otherwise).
#   cmake -DLAUNCHER=<wine-run> -DPROBE=<report_probe.exe> -P event_log_check.cmake
set(ENV{WINEDEBUG} "fixme+advapi,+eventlog")
set(failures 0)

# check(<type> <id> <count> ARGS <probe args> [LINES <eventlog lines>])
function(check type id count)
  cmake_parse_arguments(C "" "" "ARGS;LINES" ${ARGN})
  execute_process(COMMAND ${LAUNCHER} ${PROBE} service ${C_ARGS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(problems "")
  if(NOT rc EQUAL 0)
    list(APPEND problems "exit status ${rc}")
  endif()
  # Pointers are printed with as many digits as they have: 8 or 16.
  set(report "fixme:advapi:ReportEventA \\(([0-9A-F]+),0x([0-9a-f]+),0x0000,0x([0-9a-f]+),0+,0x([0-9a-f]+),0x00000000,[0-9A-F]+,0+\\)")
  if(NOT err MATCHES "${report}")
    list(APPEND problems "no ReportEventA")
  else()
    set(handle ${CMAKE_MATCH_1})
    if(NOT "${CMAKE_MATCH_2}|${CMAKE_MATCH_3}|${CMAKE_MATCH_4}" STREQUAL "${type}|${id}|${count}")
      list(APPEND problems "type|id|count ${CMAKE_MATCH_2}|${CMAKE_MATCH_3}|${CMAKE_MATCH_4}, expected ${type}|${id}|${count}")
    endif()
    # The source is registered under the service's name for this report
    # and released again.
    string(FIND "${err}" "RegisterEventSourceA ((null),\"Corvane Remote Shutdown Client\")" at)
    if(at EQUAL -1)
      list(APPEND problems "no RegisterEventSourceA of the service's source")
    endif()
    string(FIND "${err}" "DeregisterEventSource (${handle})" at)
    if(at EQUAL -1)
      list(APPEND problems "source not released")
    endif()
  endif()
  # The inserts in order.
  set(rest "${err}")
  foreach(line IN LISTS C_LINES)
    string(FIND "${rest}" "${line}" at)
    if(at EQUAL -1)
      list(APPEND problems "missing ${line}")
    else()
      string(SUBSTRING "${rest}" ${at} -1 rest)
    endif()
  endforeach()
  # The Event Log renders the text itself: the process writes none.
  if(NOT out STREQUAL "" OR err MATCHES "Connecting to server|Failed to Initialize|Unknown Error")
    list(APPEND problems "the report's text was written")
  endif()
  if(problems)
    message("FAILED: report_probe service ${C_ARGS}: ${problems}\n${err}")
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
  else()
    message("ok: type ${type}, id ${id}, ${count} insert(s)")
  endif()
endfunction()

# An error with the two-line text of a failed start as its insert.
check(0001 c0020009 0001
  ARGS 0xC0020009 "Unable to load INI File[C:\\x.ini].\r\n"
  LINES "err:eventlog:ReportEventW L\"Unable to load INI File[C:\\\\x.ini].\\r\\n\"")
check(0004 40020003 0000 ARGS 0x40020003)
check(0002 80020001 0002
  ARGS 0x80020001 first second
  LINES "warn:eventlog:ReportEventW L\"first\"" "warn:eventlog:ReportEventW L\"second\"")
# A system error code: severity 00, EVENTLOG_SUCCESS.
check(0000 00000427 0000 ARGS 1063)

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} Event Log report(s) wrong")
endif()
