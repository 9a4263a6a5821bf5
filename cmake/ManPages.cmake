# Manual pages, compressed as Debian installs them (gzip -9n), in section 1.
#
#   tarnwick_tool_manpage(TOOL INCLUDE)
#     The page of a command-line tool, made at build time by help2man from the
#     tool's own --help and --version: the help text in the tool's source is
#     the one description of its options, and the page follows it whenever the
#     tool is rebuilt. INCLUDE (help2man's include format) adds what a help
#     text does not carry: the NAME line, FILES, EXAMPLES, SEE ALSO.
#
#   tarnwick_manpage(PAGE.in)
#     A page written by hand in man(7), with @PROJECT_VERSION@ filled in (the
#     window program's: it has no options of its own, so there is nothing it
#     could disagree with).

include(GNUInstallDirs)
find_program(TARNWICK_HELP2MAN help2man)
find_program(TARNWICK_GZIP gzip)
if(NOT TARNWICK_HELP2MAN)
  message(WARNING "help2man was not found: the tools' manual pages are not built "
                  "(scripts/deps.sh installs it).")
endif()

function(tarnwick_tool_manpage tool include)
  if(NOT TARNWICK_HELP2MAN OR NOT TARNWICK_GZIP)
    return()
  endif()
  set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1")
  set(script "${PROJECT_SOURCE_DIR}/cmake/help2man.cmake")
  add_custom_command(
    OUTPUT "${page}" "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" "-DHELP2MAN=${TARNWICK_HELP2MAN}" "-DGZIP=${TARNWICK_GZIP}"
            "-DTOOL=$<TARGET_FILE:${tool}>" "-DINCLUDE=${CMAKE_CURRENT_SOURCE_DIR}/${include}"
            "-DSOURCE=Tarnwick ${PROJECT_VERSION}" "-DOUT=${page}" -P "${script}"
    DEPENDS ${tool} "${include}" "${script}"
    COMMENT "Writing the manual page of ${tool} from its --help"
    VERBATIM)
  add_custom_target(${tool}_manpage ALL DEPENDS "${page}.gz")
  install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endfunction()

function(tarnwick_manpage source)
  if(NOT TARNWICK_GZIP)
    return()
  endif()
  get_filename_component(name "${source}" NAME_WLE)
  set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${name}")
  configure_file("${source}" "${page}" @ONLY)
  add_custom_command(
    OUTPUT "${page}.gz"
    COMMAND "${TARNWICK_GZIP}" -9nf -k "${page}"
    DEPENDS "${page}"
    COMMENT "Compressing the manual page ${name}"
    VERBATIM)
  add_custom_target(${name}_manpage ALL DEPENDS "${page}.gz")
  install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endfunction()
