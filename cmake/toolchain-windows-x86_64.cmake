# Cross build for Windows x64 with Debian's mingw-w64 compiler (the POSIX-threads variant,
# whose std::thread and std::mutex the engine needs). Tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KELVO_CROSS_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVO_CROSS_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVO_CROSS_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVO_CROSS_TRIPLET}-windres)

# Libraries and headers come from the target's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's run time (libstdc++, libgcc, winpthreads) is linked in, so the programs run
# without DLLs beside them, under wine as on a user's machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test programs (and GoogleTest's discovery) run under wine through a wrapper that quiets
# wine and gives their output Unix line ends.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
