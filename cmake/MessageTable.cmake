# Reads a message text file (.mc) the way the MinGW-w64 message compiler
# does and writes what the build needs from it:
#   TABLE=<file.cpp>   a C++ table of the English (United States) texts, for
#                      the platforms without message-table resources
#   CRLF=<file.mc>     a copy with CR LF line ends: the message compiler keeps
#                      the line ends of its input in the texts, and the
#                      catalogue's texts end in CR LF on every checkout
# Usage: cmake -DMC=<file.mc> [-DTABLE=<file.cpp> -DNAMESPACE=<ns>] [-DCRLF=<file.mc>]
#              -P MessageTable.cmake
#
# The bytes of the texts are taken as they stand (8-bit texts), which is why
# the file is read in hexadecimal: CMake's own strings would fold list
# separators and brackets.
cmake_minimum_required(VERSION 3.21)

if(NOT DEFINED MC)
  message(FATAL_ERROR "MessageTable.cmake: MC is not set")
endif()
if(NOT DEFINED NAMESPACE)
  set(NAMESPACE cvn)
endif()

file(READ "${MC}" _hex HEX)

# Printable characters by their hexadecimal code; everything else becomes an
# octal escape in the C++ literal.
foreach(_code RANGE 32 126)
  math(EXPR _h "${_code}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${_h}" 2 -1 _h)
  string(LENGTH "${_h}" _l)
  if(_l EQUAL 1)
    set(_h "0${_h}")
  endif()
  string(ASCII ${_code} _ch)
  set(_txt_${_h} "${_ch}")
  set(_lit_${_h} "${_ch}")
endforeach()
set(_lit_22 "\\\"")
set(_lit_5c "\\\\")
set(_lit_3f "\\?")
set(_lit_09 "\\t")
set(_txt_09 " ")

# Splits the file into lines. For each line two forms: _line (printable
# ASCII, for the keywords) and _linelit (the exact bytes as a C++ literal).
string(LENGTH "${_hex}" _n)
set(_lines_txt "")
set(_count 0)
set(_pos 0)
set(_txt "")
set(_lit "")
while(_pos LESS _n)
  string(SUBSTRING "${_hex}" ${_pos} 2 _b)
  math(EXPR _pos "${_pos} + 2")
  if(_b STREQUAL "0a" OR _pos GREATER_EQUAL _n)
    if(NOT _b STREQUAL "0a" AND NOT _b STREQUAL "0d")
      # The last line without a line end.
      if(DEFINED _txt_${_b})
        string(APPEND _txt "${_txt_${_b}}")
        string(APPEND _lit "${_lit_${_b}}")
      else()
        string(APPEND _txt "?")
        math(EXPR _o "0x${_b}" OUTPUT_FORMAT DECIMAL)
        math(EXPR _o1 "${_o} / 64")
        math(EXPR _o2 "(${_o} / 8) % 8")
        math(EXPR _o3 "${_o} % 8")
        string(APPEND _lit "\\${_o1}${_o2}${_o3}")
      endif()
    endif()
    set(_line_${_count} "${_txt}")
    set(_linelit_${_count} "${_lit}")
    math(EXPR _count "${_count} + 1")
    set(_txt "")
    set(_lit "")
  elseif(_b STREQUAL "0d")
    # Line ends are written anew; a lone CR is dropped like a CR of CR LF.
  else()
    if(DEFINED _txt_${_b})
      string(APPEND _txt "${_txt_${_b}}")
      string(APPEND _lit "${_lit_${_b}}")
    else()
      string(APPEND _txt "?")
      math(EXPR _o "0x${_b}" OUTPUT_FORMAT DECIMAL)
      math(EXPR _o1 "${_o} / 64")
      math(EXPR _o2 "(${_o} / 8) % 8")
      math(EXPR _o3 "${_o} % 8")
      string(APPEND _lit "\\${_o1}${_o2}${_o3}")
    endif()
  endif()
endwhile()

if(DEFINED CRLF)
  # CMake strings carry any byte but NUL, so the copy needs no hexadecimal.
  file(READ "${MC}" _content)
  string(REPLACE "\r" "" _content "${_content}")
  string(REPLACE "\n" "\r\n" _content "${_content}")
  if(NOT _content MATCHES "\n$" AND NOT _content STREQUAL "")
    string(APPEND _content "\r\n")
  endif()
  file(WRITE "${CRLF}.tmp" "${_content}")
  file(COPY_FILE "${CRLF}.tmp" "${CRLF}" ONLY_IF_DIFFERENT)
  file(REMOVE "${CRLF}.tmp")
endif()

if(NOT DEFINED TABLE)
  return()
endif()

# Names of severities, facilities and languages, with the message compiler's
# defaults.
set(_sev_success 0)
set(_sev_informational 1)
set(_sev_warning 2)
set(_sev_error 3)
set(_fac_system 255)
set(_fac_application 4095)
set(_lang_english 1033)

# "Name=value[:symbol] ..." of a SeverityNames, FacilityNames or
# LanguageNames list: defines _<prefix>_<lower-case name> = value.
macro(_mc_names prefix body)
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*[ \t]*=[ \t]*(0[xX][0-9A-Fa-f]+|[0-9]+)" _pairs "${body}")
  foreach(_pair IN LISTS _pairs)
    string(REGEX MATCH "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*(.*)$" _m "${_pair}")
    string(TOLOWER "${CMAKE_MATCH_1}" _name)
    math(EXPR _value "${CMAKE_MATCH_2}" OUTPUT_FORMAT DECIMAL)
    set(_${prefix}_${_name} ${_value})
  endforeach()
endmacro()

set(_entries "")
set(_ids "")
set(_code -1)
set(_severity 0)
set(_facility 0)
set(_in_text FALSE)
set(_pending "")   # a keyword list still open: SeverityNames=( ... without )
set(_i 0)
while(_i LESS _count)
  set(_t "${_line_${_i}}")
  set(_tl "${_linelit_${_i}}")
  math(EXPR _lineno "${_i} + 1")
  math(EXPR _i "${_i} + 1")

  if(_in_text)
    if(_t STREQUAL ".")
      set(_in_text FALSE)
      if(_keep)
        if(_text STREQUAL "")
          message(FATAL_ERROR "${MC}:${_lineno}: empty message text")
        endif()
        math(EXPR _id "(${_severity} << 30) | (${_facility} << 16) | ${_code}" OUTPUT_FORMAT HEXADECIMAL)
        if(_id IN_LIST _ids)
          message(FATAL_ERROR "${MC}:${_lineno}: message ${_id} defined twice")
        endif()
        list(APPEND _ids ${_id})
        string(APPEND _entries "    {${_id}u, \"${_text}\"},\n")
      endif()
    else()
      string(APPEND _text "${_tl}\\r\\n")
    endif()
    continue()
  endif()

  if(NOT _pending STREQUAL "")
    string(APPEND _body " ${_t}")
    if(_t MATCHES "\\)")
      _mc_names(${_pending} "${_body}")
      set(_pending "")
    endif()
    continue()
  endif()

  string(STRIP "${_t}" _t)
  if(_t STREQUAL "" OR _t MATCHES "^;")
    continue()
  endif()
  if(NOT _t MATCHES "^([A-Za-z]+)[ \t]*=[ \t]*(.*)$")
    message(FATAL_ERROR "${MC}:${_lineno}: cannot read \"${_t}\"")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" _key)
  set(_value "${CMAKE_MATCH_2}")

  if(_key STREQUAL "severitynames" OR _key STREQUAL "facilitynames" OR _key STREQUAL "languagenames")
    string(SUBSTRING "${_key}" 0 3 _prefix)
    if(_prefix STREQUAL "lan")
      set(_prefix lang)
    endif()
    set(_body "${_value}")
    if(_value MATCHES "\\)")
      _mc_names(${_prefix} "${_body}")
    else()
      set(_pending ${_prefix})
    endif()
  elseif(_key STREQUAL "messageidtypedef" OR _key STREQUAL "outputbase" OR _key STREQUAL "symbolicname")
    # Only matter for the header the message compiler writes.
  elseif(_key STREQUAL "messageid")
    # The message compiler starts every message with severity and facility
    # 0 unless the message names them; an empty MessageId= counts on from
    # the previous message.
    set(_severity 0)
    set(_facility 0)
    if(_value STREQUAL "")
      math(EXPR _code "${_code} + 1")
    else()
      math(EXPR _code "${_value}" OUTPUT_FORMAT DECIMAL)
    endif()
  elseif(_key STREQUAL "severity" OR _key STREQUAL "facility")
    string(SUBSTRING "${_key}" 0 3 _prefix)
    string(TOLOWER "${_value}" _name)
    if(NOT DEFINED _${_prefix}_${_name})
      message(FATAL_ERROR "${MC}:${_lineno}: unknown ${_key} \"${_value}\"")
    endif()
    if(_prefix STREQUAL "sev")
      set(_severity ${_sev_${_name}})
    else()
      set(_facility ${_fac_${_name}})
    endif()
  elseif(_key STREQUAL "language")
    string(TOLOWER "${_value}" _name)
    if(NOT DEFINED _lang_${_name})
      message(FATAL_ERROR "${MC}:${_lineno}: unknown language \"${_value}\"")
    endif()
    if(_code LESS 0)
      set(_code 1)
    endif()
    # English (United States) is the catalogue's one language.
    if(_lang_${_name} EQUAL 1033)
      set(_keep TRUE)
    else()
      set(_keep FALSE)
    endif()
    set(_text "")
    set(_in_text TRUE)
  else()
    message(FATAL_ERROR "${MC}:${_lineno}: unknown keyword \"${CMAKE_MATCH_1}\"")
  endif()
endwhile()
if(_in_text)
  message(FATAL_ERROR "${MC}: the last message text has no closing line \".\"")
endif()

get_filename_component(_source "${MC}" NAME)
file(WRITE "${TABLE}.tmp"
"// Generated at build time from ${_source} by MessageTable.cmake: the texts of
// language English (United States), each line ending in CR LF.
#include \"message_format.h\"

namespace ${NAMESPACE} {

extern const cvn::CatalogueEntry kCatalogue[];
extern const std::size_t kCatalogueSize;
const char* FindCatalogueText(std::uint32_t messageId);

const cvn::CatalogueEntry kCatalogue[] = {
${_entries}};
const std::size_t kCatalogueSize = sizeof(kCatalogue) / sizeof(kCatalogue[0]);

const char* FindCatalogueText(std::uint32_t messageId)
{
    for (std::size_t i = 0; i < kCatalogueSize; ++i) {
        if (kCatalogue[i].id == messageId)
            return kCatalogue[i].text;
    }
    return nullptr;
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE "${TABLE}.tmp" "${TABLE}" ONLY_IF_DIFFERENT)
file(REMOVE "${TABLE}.tmp")
