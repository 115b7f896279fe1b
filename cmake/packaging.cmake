# What `cmake --install` puts where, and the packages `cpack` makes from it:
# quento_VERSION_amd64.deb from a Linux build, quento-VERSION-win64.zip from the MinGW build,
# which also configures the script for Quento-VERSION-setup.exe.
set(QUENTO_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  # The zip holds one folder: the programs beside their README and licence.
  set(QUENTO_INSTALL_BINDIR .)
  set(QUENTO_INSTALL_DOCDIR .)
else()
  set(QUENTO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(QUENTO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quento)
endif()

# Whichever programs this build makes: quento-cli, quento-device and quento-conform are packed for
# Windows too
# once the MinGW build makes them. The fault proxy, the benchmark and the tests are never
# installed.
set(_quento_programs)
foreach(program IN ITEMS Quento quento quento-cli quento-device quento-conform)
  if(TARGET ${program})
    list(APPEND _quento_programs ${program})
  endif()
endforeach()
install(TARGETS ${_quento_programs} RUNTIME DESTINATION ${QUENTO_INSTALL_BINDIR})

set(_generated ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_generated})
if(WIN32)
  # Notepad and friends: README.txt and LICENSE.txt with Windows line ends.
  foreach(pair IN ITEMS "README.md;README.txt" "LICENSE;LICENSE.txt")
    list(GET pair 0 in)
    list(GET pair 1 out)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${in})
    file(READ ${PROJECT_SOURCE_DIR}/${in} text)
    string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
    file(WRITE ${_generated}/${out} "${text}")
    install(FILES ${_generated}/${out} DESTINATION ${QUENTO_INSTALL_DOCDIR})
  endforeach()
else()
  # Manual pages (with the version, compressed as Debian wants them) for the programs this
  # build makes.
  foreach(program IN ITEMS quento quento-cli quento-device quento-conform)
    if(TARGET ${program})
      configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${_generated}/${program}.1 @ONLY)
      execute_process(COMMAND gzip -9n -c ${_generated}/${program}.1
                      OUTPUT_FILE ${_generated}/${program}.1.gz COMMAND_ERROR_IS_FATAL ANY)
      install(FILES ${_generated}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  # The package's changelog must name the version being built.
  file(STRINGS ${QUENTO_PACKAGING}/debian/changelog _latest LIMIT_COUNT 1)
  if(NOT _latest MATCHES "^quento \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/debian/changelog: its latest entry is not version "
                    "${PROJECT_VERSION}; add an entry for it before packaging")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${QUENTO_PACKAGING}/debian/changelog)
  execute_process(COMMAND gzip -9n -c ${QUENTO_PACKAGING}/debian/changelog
                  OUTPUT_FILE ${_generated}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QUENTO_PACKAGING}/debian/copyright
                ${_generated}/changelog.gz
          DESTINATION ${QUENTO_INSTALL_DOCDIR})
endif()

if(WIN32)
  # The installer (NSIS, hand-written script): `./build.sh package` installs the programs
  # stripped into QUENTO_SETUP_ROOT and runs makensis on the configured script.
  set(QUENTO_SETUP_ROOT ${PROJECT_BINARY_DIR}/setup-root)
  set(QUENTO_SETUP_EXE ${PROJECT_BINARY_DIR}/Quento-${PROJECT_VERSION}-setup.exe)
  configure_file(${QUENTO_PACKAGING}/windows/quento-setup.nsi.in ${_generated}/quento-setup.nsi
                 @ONLY)
endif()

set(CPACK_PACKAGE_NAME quento)
set(CPACK_PACKAGE_VENDOR "The Quento developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for networked devices")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(QUENTO_MAINTAINER "The Quento developers <quento@example.org>"
    CACHE STRING "The Debian package's maintainer: NAME <EMAIL>")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quento-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUENTO_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The extended description, under the summary; CPack indents it and marks the empty line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quento writes a firmware image into devices whose loader listens on TCP port
18810, in 1024-byte blocks, and reads every block back to verify it.

This package holds quento, the operator's window (Qt 6), quento-cli, the
command-line flasher for one device or thousands at once, quento-device,
a device simulator with fault injection for tests and demos, and
quento-conform, which checks that a device's loader answers as Quento
expects.")
endif()
include(CPack)
