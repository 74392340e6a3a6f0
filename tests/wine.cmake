# Runs cross-compiled tests under wine, with a wine prefix inside the build
# tree: 32-bit wine for the 32-bit build, 64-bit wine for the 64-bit one.
# Where wine is missing or cannot run here, the Windows tests are reported as
# skipped, with the reason (WINE_SKIP_REASON). 32-bit wine needs a kernel
# that runs 32-bit x86 programs, which some virtual machines do not; the
# windows-x64 preset runs the same tests under 64-bit wine there.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(WINE_ARCH win64)
  # Debian keeps the 64-bit loader off the PATH.
  find_program(WINE_PROGRAM NAMES wine64 PATHS /usr/lib/wine)
else()
  set(WINE_ARCH win32)
  find_program(WINE_PROGRAM wine)
endif()
set(WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run ${WINE_PROGRAM})
set(UDPCMD_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

set(WINE_SKIP_REASON "")
if(NOT WINE_PROGRAM)
  set(WINE_SKIP_REASON "wine (${WINE_ARCH}) is not installed")
elseif(WINE_ARCH STREQUAL win32 AND NOT EXISTS /usr/lib/wine/wine)
  # Debian's wine command runs without its 32-bit loader too, and says so
  # only when it is asked to run a program.
  set(WINE_SKIP_REASON "32-bit wine (wine32:i386) is not installed: scripts/setup leaves it \
out on a machine that cannot run 32-bit x86 programs")
else()
  execute_process(COMMAND ${WINE_PROGRAM} --version RESULT_VARIABLE wine_status
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  if(NOT wine_status EQUAL 0 AND WINE_ARCH STREQUAL win32)
    set(WINE_SKIP_REASON "this machine cannot run 32-bit x86 programs, so 32-bit wine cannot \
run here (the windows-x64 preset runs the same tests under 64-bit wine)")
  elseif(NOT wine_status EQUAL 0)
    set(WINE_SKIP_REASON "${WINE_PROGRAM} --version failed (${wine_status})")
  endif()
endif()
if(WINE_SKIP_REASON)
  message(STATUS "Windows tests will be skipped: ${WINE_SKIP_REASON}")
endif()

if(NOT WINE_SKIP_REASON)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN} ${UDPCMD_WINEPREFIX})
  # wine's background services must not inherit CTest's output pipes: start
  # them once, detached, before the first test, and stop them at the end.
  add_test(NAME wine_start COMMAND ${WINE_RUN} ${UDPCMD_WINEPREFIX} --start)
  add_test(NAME wine_stop COMMAND ${WINE_RUN} ${UDPCMD_WINEPREFIX} --stop)
  # A new prefix takes seconds, or minutes where 32-bit code is emulated.
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# A test that only says why it is skipped.
function(add_skipped_test name reason)
  add_test(NAME ${name} COMMAND sh -c "echo \"$1: skipping $2\"; exit 77" sh "${reason}" ${name})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 ${ARGN})
endfunction()

function(add_wine_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND" ${ARGN})
  if(WINE_SKIP_REASON)
    add_skipped_test(${ARG_NAME} "${WINE_SKIP_REASON}" LABELS unit)
  else()
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine LABELS unit)
  endif()
endfunction()
