# Cross-builds the Windows programs with mingw-w64. The programs are linked
# statically so that they need nothing beyond the DLLs every Windows has.
# Another toolchain file may set BRANTWICKER_MINGW_TRIPLET first to reuse this
# one for a different target.
if(NOT BRANTWICKER_MINGW_TRIPLET)
  set(BRANTWICKER_MINGW_TRIPLET i686-w64-mingw32)
endif()

set(CMAKE_SYSTEM_NAME Windows)
if(BRANTWICKER_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(CMAKE_C_COMPILER   ${BRANTWICKER_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BRANTWICKER_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER  ${BRANTWICKER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRANTWICKER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
