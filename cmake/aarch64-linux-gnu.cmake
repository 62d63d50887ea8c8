# Cross-building for aarch64 Linux with Debian's cross compiler (package
# g++-aarch64-linux-gnu), linked statically so that qemu-aarch64 (package
# qemu-user) runs the programs as they are:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CORVALIN_CROSS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
