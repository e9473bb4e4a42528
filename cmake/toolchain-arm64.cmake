# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM (Debian arm64):
#   scripts/apt-install.sh crossbuild-essential-arm64 qtbase5-dev:arm64 libgtest-dev:arm64 qemu-user
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(UPGRADE_CROSS_TRIPLET aarch64-linux-gnu)
set(UPGRADE_CROSS_QEMU qemu-aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake")
