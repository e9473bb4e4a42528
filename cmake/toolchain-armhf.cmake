# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM, hard float (Debian armhf):
#   scripts/apt-install.sh crossbuild-essential-armhf qtbase5-dev:armhf libgtest-dev:armhf qemu-user
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(UPGRADE_CROSS_TRIPLET arm-linux-gnueabihf)
set(UPGRADE_CROSS_QEMU qemu-arm)
include("${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake")
