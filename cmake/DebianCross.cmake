# SPDX-License-Identifier: MIT
# Shared part of the toolchain files: a cross build with Debian's cross compilers and Debian's
# multiarch libraries (qtbase5-dev:<arch>, libgtest-dev:<arch>), which live beside the host's under
# /usr/lib/<triplet> rather than in a separate sysroot.
# The including toolchain file sets UPGRADE_CROSS_TRIPLET, UPGRADE_CROSS_QEMU and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${UPGRADE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPGRADE_CROSS_TRIPLET}-g++)

# find_package() looks in <prefix>/lib/<triplet>/cmake; naming the triplet also keeps the host's
# /usr/lib/<host triplet> out of every search.
set(CMAKE_LIBRARY_ARCHITECTURE ${UPGRADE_CROSS_TRIPLET})

# There is no sysroot: target headers and libraries are found in /usr (multiarch directories) and in
# /usr/<triplet> (the cross libc). Programs are always taken from the host: Debian's Qt 5 CMake
# files point Qt5::moc and Qt5::rcc at /usr/lib/qt5/bin, an architecture-independent path that
# qtbase5-dev-tools (Multi-Arch: foreign, the host's package) fills, so AUTOMOC runs the host's moc.
set(CMAKE_FIND_ROOT_PATH /usr/${UPGRADE_CROSS_TRIPLET} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config, which FindOpenSSL asks first, must read the target's .pc files (libssl-dev:<arch>),
# never the host's, whose library it would otherwise hand to the cross linker.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${UPGRADE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# Target programs (the tests, test discovery, the program the end-to-end tests start) run under
# qemu-user, named explicitly: there may be no binfmt_misc registration on the build machine. The
# target's dynamic loader and libc come from the multiarch libc6:<arch> that the Qt libraries pull
# in, so qemu needs no -L prefix. qemu runs inside no-pidfd (cmake/no-pidfd.c, built here with the
# build machine's C compiler), which makes QProcess::start work under qemu 7.2: see that file.
get_property(_upgrade_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
find_program(UPGRADE_QEMU_PROGRAM ${UPGRADE_CROSS_QEMU})
find_program(UPGRADE_HOST_CC NAMES cc gcc)
if(UPGRADE_QEMU_PROGRAM AND NOT _upgrade_in_try_compile)
    set(_upgrade_no_pidfd "${CMAKE_BINARY_DIR}/no-pidfd")
    set(_upgrade_no_pidfd_source "${CMAKE_CURRENT_LIST_DIR}/no-pidfd.c")
    if(NOT EXISTS "${_upgrade_no_pidfd}" OR "${_upgrade_no_pidfd_source}" IS_NEWER_THAN "${_upgrade_no_pidfd}")
        if(NOT UPGRADE_HOST_CC)
            message(FATAL_ERROR "A C compiler for the build machine (cc) is needed to build no-pidfd")
        endif()
        file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}")
        execute_process(
            COMMAND "${UPGRADE_HOST_CC}" -O2 -o "${_upgrade_no_pidfd}" "${_upgrade_no_pidfd_source}"
            RESULT_VARIABLE _upgrade_result)
        if(NOT _upgrade_result EQUAL 0)
            message(FATAL_ERROR "Building no-pidfd failed: ${_upgrade_result}")
        endif()
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR "${_upgrade_no_pidfd}" "${UPGRADE_QEMU_PROGRAM}")
endif()
