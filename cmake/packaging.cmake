# Installation and release packages. Included by the top-level
# CMakeLists.txt once every program's target exists.
#
#   Windows x86: udpcmd-<version>-win32.zip: one folder with udpcmd.exe,
#                udpcmd-expect.exe, udpcmd-device.exe, README.txt, LICENSE.txt,
#                CHANGELOG.txt, the dissector udpcmd.lua and examples\ (batch
#                files and the rules file that rehearses them).
#   native:      a .deb (DEB) and a .tar.gz (TGZ) with bin/, the manual pages,
#                the README and the dissector in Wireshark's Lua plugins
#                folder; the .deb also Debian's copyright file and changelog,
#                the .tar.gz the LICENSE.
#
# `cmake --build --preset <preset> --target package` makes them.

# The zip's text files, as Notepad and cmd on Windows read them: with CR LF
# line ends, in UDPCMD_WINDOWS_TEXT laid out as in the zip. A source ending
# in .in is a template (@PROJECT_VERSION@ and the like filled in). Both
# Windows builds make them: the end-to-end tests run the examples.
set(UDPCMD_WINDOWS_TEXT ${CMAKE_BINARY_DIR}/windows-text)
function(udpcmd_windows_text source name)
  file(READ ${source} text)
  if(source MATCHES "\\.in$")
    string(REGEX MATCHALL "@[A-Za-z_]+@" names "${text}")
    foreach(name ${names})
      string(REPLACE "@" "" name "${name}")
      if(NOT DEFINED ${name})  # such as a section of the device's text renamed
        message(FATAL_ERROR "${source}: nothing defines @${name}@")
      endif()
    endforeach()
    string(CONFIGURE "${text}" text @ONLY)
  endif()
  string(REPLACE "\n" "\r\n" text "${text}")
  set(output ${UDPCMD_WINDOWS_TEXT}/${name})
  set(old "")
  if(EXISTS ${output})
    file(READ ${output} old)
  endif()
  if(NOT old STREQUAL text)  # rewritten only when changed, as configure_file does
    file(WRITE ${output} "${text}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  set_property(DIRECTORY APPEND PROPERTY UDPCMD_WINDOWS_TEXT_FILES ${output})
endfunction()
if(WIN32)
  udpcmd_windows_text(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in README.txt)
  udpcmd_windows_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
  udpcmd_windows_text(${PROJECT_SOURCE_DIR}/CHANGELOG.md CHANGELOG.txt)
  udpcmd_windows_text(${UDPCMD_DISSECTOR} udpcmd.lua)
  file(GLOB UDPCMD_EXAMPLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/windows/examples/*)
  foreach(example ${UDPCMD_EXAMPLES})
    get_filename_component(name ${example} NAME)
    udpcmd_windows_text(${example} examples/${name})
  endforeach()
  # A file whose source is gone leaves the folder, and so the zip.
  get_property(made DIRECTORY PROPERTY UDPCMD_WINDOWS_TEXT_FILES)
  file(GLOB_RECURSE found ${UDPCMD_WINDOWS_TEXT}/*)
  list(REMOVE_ITEM found ${made})
  if(found)
    file(REMOVE ${found})
  endif()
endif()

# The 64-bit Windows build only runs the tests where 32-bit programs cannot
# run: nothing of it is installed or packaged.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()

include(GNUInstallDirs)
# Folders the install makes are rwxr-xr-x whatever the umask of whoever
# builds: the packages hold the same modes everywhere.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The programs the packages carry (their checks, tests/package, read it).
# udpcmd-expect runs the udpcmd beside it: they share a folder everywhere.
set(UDPCMD_PROGRAMS udpcmd udpcmd-expect)
# The simulated device ships beside the program, for trying it out.
if(TARGET udpcmd-device)
  list(APPEND UDPCMD_PROGRAMS udpcmd-device)
endif()

if(WIN32)
  # One folder: the programs beside the text files.
  install(TARGETS ${UDPCMD_PROGRAMS} RUNTIME DESTINATION .)
  install(DIRECTORY ${UDPCMD_WINDOWS_TEXT}/ DESTINATION .)
else()
  install(TARGETS ${UDPCMD_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages and Debian's changelog are installed compressed, as Debian
  # packages carry them.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(UDPCMD_COMPRESSED)
  function(udpcmd_compressed source output)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${output}
      DEPENDS ${source}
      VERBATIM)
    list(APPEND UDPCMD_COMPRESSED ${output})
    set(UDPCMD_COMPRESSED ${UDPCMD_COMPRESSED} PARENT_SCOPE)
  endfunction()
  foreach(program ${UDPCMD_PROGRAMS})
    # Each page is man/PROGRAM.1.in with the version filled in; the device's
    # is made from its help text (cmake/device-usage.cmake).
    set(page ${CMAKE_BINARY_DIR}/${program}.1)
    if(NOT program STREQUAL udpcmd-device)
      configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1.in ${page} @ONLY)
    endif()
    udpcmd_compressed(${page} ${CMAKE_BINARY_DIR}/${program}.1.gz)
    install(FILES ${CMAKE_BINARY_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  set(UDPCMD_DEBIAN ${PROJECT_SOURCE_DIR}/packaging/debian)
  udpcmd_compressed(${UDPCMD_DEBIAN}/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_target(udpcmd_compressed ALL DEPENDS ${UDPCMD_COMPRESSED})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${UDPCMD_DISSECTOR} DESTINATION ${UDPCMD_WIRESHARK_PLUGIN_DIR})

  # The .deb and the .tar.gz differ in a few files only: install components
  # that CPack picks per package (see packaging/cpack-generator.cmake.in).
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tarball)
  install(FILES ${UDPCMD_DEBIAN}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb)
  install(FILES ${UDPCMD_DEBIAN}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME udpcmd COMPONENT deb)
  # The version is written once, in the project() call; Debian's changelog
  # and README.md name it too, and the build stops when they name another.
  file(STRINGS ${UDPCMD_DEBIAN}/changelog UDPCMD_DEBIAN_TOP LIMIT_COUNT 1)
  if(NOT UDPCMD_DEBIAN_TOP MATCHES "^udpcmd \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog starts with \"${UDPCMD_DEBIAN_TOP}\", "
                        "not with an entry for udpcmd ${PROJECT_VERSION}")
  endif()
  file(READ ${PROJECT_SOURCE_DIR}/README.md UDPCMD_README)
  string(FIND "${UDPCMD_README}" "This is version ${PROJECT_VERSION};" UDPCMD_README_AT)
  if(UDPCMD_README_AT LESS 0)
    message(FATAL_ERROR "README.md does not say \"This is version ${PROJECT_VERSION};\"")
  endif()
endif()

set(UDPCMD_MAINTAINER "udpcmd maintainers <maintainers@udpcmd.invalid>"
    CACHE STRING "Maintainer named in the release packages")

set(CPACK_PACKAGE_NAME udpcmd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "udpcmd")
set(CPACK_PACKAGE_CONTACT ${UDPCMD_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send one framed command to a UDP device and print a report")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "udpcmd wraps its argument in a checksummed command frame, sends it in one\n"
  "UDP datagram to the device at 192.168.0.254, port 2639, and prints a framed\n"
  "report; for a command that asks for one, it waits for one reply of up to\n"
  "32 bytes and prints it too. udpcmd-expect runs it for a batch file or\n"
  "script: with a time limit, and a status that says whether the expected\n"
  "reply came. udpcmd-device is a simulated device to try them against.")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME udpcmd-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" UDPCMD_SYSTEM)
  set(CPACK_PACKAGE_FILE_NAME udpcmd-${PROJECT_VERSION}-${UDPCMD_SYSTEM})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${UDPCMD_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dissector in the package is for them.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
  # Dependencies from the binaries themselves where dpkg-shlibdeps is there;
  # else the C library, which is all the program links.
  find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()

if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack-generator.cmake.in
                 ${CMAKE_BINARY_DIR}/cpack-generator.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack-generator.cmake)
endif()

include(CPack)
