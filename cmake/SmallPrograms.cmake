# Release programs are dropped on by hand and passed around in zips, so they
# are linked without the code and data they never reach, and without symbols.
# Other build types keep everything for debuggers and sanitizer reports.
# BRANTWICKER_SMALL_PROGRAMS says whether this build is such a release build.
set(BRANTWICKER_SMALL_PROGRAMS OFF)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Release" OR BRANTWICKER_SANITIZE OR MSVC OR APPLE)
  return()
endif()
set(BRANTWICKER_SMALL_PROGRAMS ON)

# One section per function and data item, so that the linker can drop each.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections -s)

if(MINGW)
  # The static libstdc++'s default terminate handler prints the name of the
  # uncaught exception, and brings a 46 KiB demangler along to do it. Our code
  # throws nothing, so only an allocation failing inside the
  # library can get there, and then the windowed program has no console to
  # print on. The handler becomes abort(), as in a libstdc++ configured
  # without verbose terminate; std::set_terminate still works.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(brantwicker_c_prefix _)  # 32-bit Windows decorates C names with '_'
  endif()
  add_link_options(
    "-Wl,--defsym,${brantwicker_c_prefix}_ZN9__gnu_cxx27__verbose_terminate_handlerEv=${brantwicker_c_prefix}abort")
endif()
