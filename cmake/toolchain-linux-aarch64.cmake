# Cross build for 64-bit ARM Linux with Debian's aarch64 compiler. Tests run under qemu's
# user-mode emulation, which finds the target's C and C++ run time under /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KELVO_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${KELVO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KELVO_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KELVO_QEMU_AARCH64 qemu-aarch64)
if(KELVO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO_QEMU_AARCH64} -L /usr/${KELVO_CROSS_TRIPLET})
endif()
