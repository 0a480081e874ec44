# The 64-bit build of the Windows programs, made only so that their Windows
# code can be run under 64-bit Wine on hosts that cannot run 32-bit programs.
set(BRANTWICKER_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32.cmake)
