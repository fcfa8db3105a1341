# Cross build for ARMv7-A devices with VFP (Debian armhf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Needs Debian's crossbuild-essential-armhf; qemu-user runs the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(WAVELORN_TRIPLET arm-linux-gnueabihf)
set(WAVELORN_ARCH_FLAGS "-march=armv7-a+fp -mfloat-abi=hard")
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
