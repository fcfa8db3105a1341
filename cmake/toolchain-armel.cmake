# Cross build for ARMv5TE devices with soft float (Debian armel):
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armel.cmake
# Needs Debian's crossbuild-essential-armel; qemu-user runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(WAVELORN_TRIPLET arm-linux-gnueabi)
set(WAVELORN_ARCH_FLAGS "-march=armv5te -marm -mfloat-abi=soft")
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
