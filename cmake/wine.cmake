# Runs cross-compiled tests under wine, with a wine prefix inside the build
# tree. Without wine the Windows tests are reported as skipped, not failed.
find_program(WINE_PROGRAM wine)
set(WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run)
set(UDPCMD_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN} ${UDPCMD_WINEPREFIX})
  # wine's background services must not inherit CTest's output pipes: start
  # them once, detached, before the first test, and stop them at the end.
  add_test(NAME wine_start COMMAND ${WINE_RUN} ${UDPCMD_WINEPREFIX} --start)
  add_test(NAME wine_stop COMMAND ${WINE_RUN} ${UDPCMD_WINEPREFIX} --stop)
  # A new prefix takes seconds, or minutes where 32-bit code is emulated.
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 900)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

function(add_wine_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND" ${ARGN})
  if(WINE_PROGRAM)
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine LABELS unit)
  else()
    add_test(NAME ${ARG_NAME}
             COMMAND sh -c "echo 'wine is not installed: skipping ${ARG_NAME} under wine'; exit 77")
    set_tests_properties(${ARG_NAME} PROPERTIES SKIP_RETURN_CODE 77 LABELS unit)
  endif()
endfunction()
