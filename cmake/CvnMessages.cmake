# Message catalogues. One .mc file gives, on Windows, a message-table
# resource for FormatMessageA and the Event Log, and on every platform a C++
# table of its texts (the native build formats from it; the Windows tests
# compare it with the resource).

set(CVN_MESSAGE_TABLE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/MessageTable.cmake)

# cvn_message_table(<out var> <file.mc> <namespace>)
# Generates <name>_table.cpp in the current binary directory, defining
# <namespace>::kCatalogue, kCatalogueSize and FindCatalogueText, and returns
# its path. Add it to a target of the same directory.
function(cvn_message_table out mc ns)
  get_filename_component(name ${mc} NAME_WE)
  set(cpp ${CMAKE_CURRENT_BINARY_DIR}/${name}_table.cpp)
  add_custom_command(OUTPUT ${cpp}
    COMMAND ${CMAKE_COMMAND} -DMC=${mc} -DTABLE=${cpp} -DNAMESPACE=${ns}
            -P ${CVN_MESSAGE_TABLE_SCRIPT}
    DEPENDS ${mc} ${CVN_MESSAGE_TABLE_SCRIPT}
    COMMENT "Generating the message table of ${name}.mc"
    VERBATIM)
  set(${out} ${cpp} PARENT_SCOPE)
endfunction()

# cvn_message_resource(<out var> <file.mc>)      (Windows only)
# Compiles the catalogue with the message compiler (8-bit texts, from a copy
# with CR LF line ends) and the resource compiler into a COFF object holding
# the message-table resource, and returns the object's path. Linked into a
# program, it is found by FormatMessageA with a null module.
function(cvn_message_resource out mc)
  get_filename_component(name ${mc} NAME_WE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name}_mc)
  set(copy ${dir}/${name}.mc)
  set(obj ${dir}/${name}_res.o)
  file(MAKE_DIRECTORY ${dir})
  add_custom_command(OUTPUT ${obj}
    COMMAND ${CMAKE_COMMAND} -DMC=${mc} -DCRLF=${copy} -P ${CVN_MESSAGE_TABLE_SCRIPT}
    COMMAND ${CMAKE_MC_COMPILER} -A -h ${dir} -r ${dir} ${copy}
    COMMAND ${CMAKE_RC_COMPILER} -I ${dir} -O coff -i ${dir}/${name}.rc -o ${obj}
    WORKING_DIRECTORY ${dir}
    DEPENDS ${mc} ${CVN_MESSAGE_TABLE_SCRIPT}
    COMMENT "Compiling the message-table resource of ${name}.mc"
    VERBATIM)
  set(${out} ${obj} PARENT_SCOPE)
endfunction()

# cvn_link_catalogue(<target>)
# Links the client's catalogue resource into a program that does not link
# cvnclient (which carries it already). Nothing to do natively.
function(cvn_link_catalogue target)
  if(WIN32)
    get_property(obj GLOBAL PROPERTY CVN_CATALOGUE_RESOURCE)
    target_link_libraries(${target} PRIVATE ${obj})
    add_dependencies(${target} cvn_catalogue_resource)
  endif()
endfunction()
