# Manual pages made at build time from the programs' own --help and --version by help2man
# (scripts/bootstrap installs it), and installed beside the programs. Without help2man the
# build goes on without them.
find_program(VASTREL_HELP2MAN help2man)
if(NOT VASTREL_HELP2MAN)
  message(STATUS "help2man not found: no manual pages")
  return()
endif()

set(_man_dir ${PROJECT_BINARY_DIR}/man/man1)
set(_man_pages)
# A page for the program of `target`, in the install component `component`; `what` is the
# line that follows the name. With a fourth argument COMMANDS the page also tells the help
# of each of the program's commands ("PROGRAM help COMMAND").
function(vastrel_man_page target component what)
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  set(_page ${_man_dir}/${_name}.1)
  set(_include)
  set(_depends ${target})
  if(ARGV3 STREQUAL "COMMANDS")
    set(_h2m ${PROJECT_BINARY_DIR}/man/${_name}.h2m)
    add_custom_command(OUTPUT ${_h2m}
      COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/man_commands.sh $<TARGET_FILE:${target}> ${_h2m}
      DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/man_commands.sh
      VERBATIM)
    set(_include --include=${_h2m})
    list(APPEND _depends ${_h2m})
  endif()
  add_custom_command(OUTPUT ${_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_dir}
    COMMAND ${VASTREL_HELP2MAN} --no-info --section=1 --name=${what} ${_include}
            --output=${_page} $<TARGET_FILE:${target}>
    DEPENDS ${_depends}
    COMMENT "Manual page ${_name}.1"
    VERBATIM)
  install(FILES ${_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  set(_man_pages ${_man_pages} ${_page} PARENT_SCOPE)
endfunction()

vastrel_man_page(vastrel_cli tools "inspect, keep and rescue the business data in record files"
                 COMMANDS)
vastrel_man_page(vastrel-example tools "a small parts list kept in a record file")
if(TARGET vastrel_designer)
  vastrel_man_page(vastrel_designer designer "edit a control's property bag in its property pages")
endif()
add_custom_target(man_pages ALL DEPENDS ${_man_pages})
