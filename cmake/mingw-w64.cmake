# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads), so
# that std::thread and the rest of the C++ runtime work as on Linux. Tests run
# under Wine through CTest's cross-compiling emulator (tools/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUELLOADER_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QUELLOADER_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELLOADER_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELLOADER_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELLOADER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -O2 as on Linux: GCC 12's -O3 inlining of libstdc++'s string and vector code
# gives false -Wrestrict and -Warray-bounds warnings, which are errors here.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")

# No mingw DLLs to ship: every program carries its runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

get_filename_component(_ql_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_ql_source_dir}/tools/wine-run.sh")
