# Writes the version header at build time (cmake -P): the project's number and, in a git tree,
# the commit it was built from. configure_file leaves the header as it is when its text does
# not change, so only a new commit or a change in the tree recompiles the version lines.
# In: PROJECT_VERSION, SOURCE_DIR, GIT (may be empty), IN, OUT.
set(PELORUS_VERSION_TEXT "${PROJECT_VERSION}")
if(GIT)
  execute_process(
    COMMAND "${GIT}" describe --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed
    ERROR_QUIET)
  if(NOT failed AND described)
    set(PELORUS_VERSION_TEXT "${PROJECT_VERSION} (${described})")
  endif()
endif()
configure_file("${IN}" "${OUT}" @ONLY)
