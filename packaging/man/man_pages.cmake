# The man pages, made at build time from their templates here and each
# program's own --help (man_page.cmake), compressed as Debian wants them
# (gzip -9, no name or time in the header), and installed with the programs.
find_program(BRANTWICKER_GZIP gzip REQUIRED)
set(brantwicker_man_pages)
foreach(page brantwicker.1 brantwicker-md5.1 brantwicker-service.8)
  string(REGEX REPLACE "\\.[0-9]$" "" program ${page})
  string(REGEX MATCH "[0-9]$" section ${page})
  set(out ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(
    OUTPUT ${out} ${out}.gz
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}>
            -DTEMPLATE=${CMAKE_CURRENT_LIST_DIR}/${page}.in -DOUTPUT=${out}
            -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/man_page.cmake
    COMMAND ${BRANTWICKER_GZIP} -9nkf ${out}
    DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/${page}.in ${CMAKE_CURRENT_LIST_DIR}/man_page.cmake
    COMMENT "Man page ${page}" VERBATIM)
  list(APPEND brantwicker_man_pages ${out}.gz)
  if(program STREQUAL "brantwicker-service")
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT service EXCLUDE_FROM_ALL)
  else()
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
add_custom_target(man-pages ALL DEPENDS ${brantwicker_man_pages})
