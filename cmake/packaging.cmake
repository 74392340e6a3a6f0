# Installation and release packages. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
#   Windows x86: udpcmd-<version>-win32.zip with udpcmd.exe, udpcmd-device.exe
#                and README.txt at the top of one folder.
#   native:      a .deb (DEB) and a .tar.gz (TGZ) with bin/, the manual page
#                and the README.
#
# `cmake --build --preset <preset> --target package` makes them.
include(GNUInstallDirs)

set(UDPCMD_PROGRAMS udpcmd)
# The simulated device ships beside the program, for trying it out.
if(TARGET udpcmd-device)
  list(APPEND UDPCMD_PROGRAMS udpcmd-device)
endif()

if(WIN32)
  # A flat folder: the programs and the README next to each other.
  install(TARGETS ${UDPCMD_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
else()
  install(TARGETS ${UDPCMD_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Installed compressed, as Debian packages carry manual pages.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(UDPCMD_MANPAGE ${CMAKE_BINARY_DIR}/udpcmd.1.gz)
  add_custom_command(
    OUTPUT ${UDPCMD_MANPAGE}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/man/udpcmd.1 > ${UDPCMD_MANPAGE}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/udpcmd.1
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(udpcmd_manpage ALL DEPENDS ${UDPCMD_MANPAGE})
  install(FILES ${UDPCMD_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
  "32 bytes and prints it too. udpcmd-device is a simulated device to try it\n"
  "against.")
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
  # Dependencies from the binaries themselves where dpkg-shlibdeps is there;
  # else the C library, which is all the program links.
  find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()

include(CPack)

# The installed tree and the .deb, checked as a user would get them: native
# builds only, since the check runs the installed program.
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING)
  set(UDPCMD_PACKAGE_CHECK ${PROJECT_SOURCE_DIR}/tests/package/package-check)
  # What the installed udpcmd may load: a sanitized one links the sanitizer
  # runtimes, which need the C++ one; otherwise nothing (static) or libc.
  if(UDPCMD_SANITIZE)
    set(UDPCMD_LEAN_LINK any)
  elseif(UDPCMD_STATIC)
    set(UDPCMD_LEAN_LINK static)
  else()
    set(UDPCMD_LEAN_LINK libc)
  endif()
  add_test(NAME package_install
           COMMAND ${UDPCMD_PACKAGE_CHECK} install ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/package-check/install ${UDPCMD_LEAN_LINK}
                   ${UDPCMD_PROGRAMS})
  add_test(NAME package_deb
           COMMAND ${UDPCMD_PACKAGE_CHECK} deb ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/package-check/deb ${UDPCMD_LEAN_LINK} ${UDPCMD_PROGRAMS})
  set_tests_properties(package_install package_deb PROPERTIES
    LABELS package SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()

# The Windows zip, made and opened as a user would get it.
if(BUILD_TESTING AND WIN32)
  find_program(UDPCMD_OBJDUMP
               NAMES i686-w64-mingw32-objdump objdump REQUIRED)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME package_zip
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package/zip-check ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/package-check/zip ${UDPCMD_OBJDUMP})
  set_tests_properties(package_zip PROPERTIES LABELS package TIMEOUT 120)
endif()
