# Release packages, made by `cpack` in a build directory: from a Windows build
# a zip with the two programs and a read-me, from a Linux build a Debian
# package with the programs, a desktop entry, the read-me, and the scanning
# service with its systemd unit.
#
# Windows programs sit at the top of their folder, not in bin/. This must be
# set before GNUInstallDirs is included.
if(WIN32)
  set(CMAKE_INSTALL_BINDIR .)
endif()
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME brantwicker)
set(CPACK_PACKAGE_VENDOR "el.Quo")
set(CPACK_PACKAGE_CONTACT "el.Quo <brantwicker@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Asks the Quellarion scanning service whether it has a report on a file")
set(CPACK_PACKAGE_DESCRIPTION
    "Quellarion Brantwicker prints a file's MD5 digest, asks the Quellarion online
scanning service about it, and opens the report page in the browser or says
that the service does not know the file. brantwicker-md5 prints and checks MD5
digests of files and of standard input. brantwicker-service is the scanning
service itself, with a systemd unit (not enabled on install).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Windows editors before 2018 show a read-me with bare LF as one long line.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
                 ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)
  # The installer of the 32-bit programs, beside the zip: their stripped
  # copies and the read-me are staged in one folder, which wixl reads them
  # from (its Source= paths are relative).
  find_program(BRANTWICKER_WIXL wixl)
  if(BRANTWICKER_WIXL AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
    set(BRANTWICKER_MSI_STAGE ${PROJECT_BINARY_DIR}/packaging/msi)
    set(BRANTWICKER_MSI ${PROJECT_BINARY_DIR}/packages/brantwicker-${PROJECT_VERSION}-win32.msi)
    file(MAKE_DIRECTORY ${BRANTWICKER_MSI_STAGE})
    add_custom_command(OUTPUT ${BRANTWICKER_MSI}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${BRANTWICKER_MSI_STAGE} ${PROJECT_BINARY_DIR}/packages
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:brantwicker> $<TARGET_FILE:brantwicker-md5>
              ${PROJECT_BINARY_DIR}/packaging/README.txt ${BRANTWICKER_MSI_STAGE}
      COMMAND ${CMAKE_STRIP} ${BRANTWICKER_MSI_STAGE}/brantwicker.exe
              ${BRANTWICKER_MSI_STAGE}/brantwicker-md5.exe
      COMMAND ${BRANTWICKER_WIXL} -a x86 -D Version=${PROJECT_VERSION} -o ${BRANTWICKER_MSI}
              ${PROJECT_SOURCE_DIR}/packaging/brantwicker.wxs
      WORKING_DIRECTORY ${BRANTWICKER_MSI_STAGE}
      DEPENDS brantwicker brantwicker-md5 ${PROJECT_SOURCE_DIR}/packaging/brantwicker.wxs
              ${PROJECT_BINARY_DIR}/packaging/README.txt
      COMMENT "Windows installer ${BRANTWICKER_MSI}" VERBATIM)
    add_custom_target(msi ALL DEPENDS ${BRANTWICKER_MSI})
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  find_program(BRANTWICKER_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(BRANTWICKER_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libsqlite3-0, libarchive13, libpq5, libssl3")
  endif()
  # The service's own system user is made by postinst with adduser.
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", adduser")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The service is a component of its own, left out of a plain install; the
  # Debian package takes it as well.
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/"
      "${PROJECT_BINARY_DIR};${PROJECT_NAME};service;/")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/brantwicker-service.service
          DESTINATION lib/systemd/system COMPONENT service EXCLUDE_FROM_ALL)
  # Message boxes go through zenity, the report page through xdg-open.
  # clamd scans the service's uploads.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity, xdg-utils, clamav-daemon")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/brantwicker.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brantwicker)
  # The read-me's links lead into docs/, beside it as in the source.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brantwicker/docs)
  # What Debian asks of every package: the copyright, and a changelog
  # compressed without a name or time in its header.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brantwicker)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
                 ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  find_program(BRANTWICKER_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${BRANTWICKER_GZIP} -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brantwicker)
  # Man pages, and the service's command line completed by bash.
  include(${PROJECT_SOURCE_DIR}/packaging/man/man_pages.cmake)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/brantwicker-service.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME brantwicker-service COMPONENT service EXCLUDE_FROM_ALL)
endif()

# CPack leaves CPACK_GENERATOR set to the source package's generators.
set(brantwicker_package_generator ${CPACK_GENERATOR})
include(CPack)

if(BRANTWICKER_TESTS)
  find_package(Python3 3.10 REQUIRED COMPONENTS Interpreter)
  # Only release programs are small; sanitizers, for one, make them far larger.
  set(brantwicker_package_bounds)
  if(BRANTWICKER_SMALL_PROGRAMS)
    set(brantwicker_package_bounds --bound-sizes)
  endif()
  # lintian judges the package as released: not a sanitizer's build.
  set(brantwicker_package_lint)
  if(NOT BRANTWICKER_SANITIZE)
    set(brantwicker_package_lint --lint)
  endif()
  add_test(NAME package
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/check_package.py
                   --cpack ${CMAKE_CPACK_COMMAND} --build-dir ${PROJECT_BINARY_DIR}
                   --version ${PROJECT_VERSION} --generator ${brantwicker_package_generator}
                   ${brantwicker_package_bounds} ${brantwicker_package_lint})
  set_tests_properties(package PROPERTIES TIMEOUT 300)
endif()
