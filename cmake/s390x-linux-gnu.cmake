# Cross-building for s390x Linux with Debian's cross compiler (package
# g++-s390x-linux-gnu), linked statically so that qemu-s390x (package
# qemu-user) runs the programs as they are:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CORVALIN_CROSS_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
