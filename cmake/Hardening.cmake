# SPDX-License-Identifier: MIT
# Hardening of every target, on by default: the programs run as root on devices nobody can reach,
# so an overflow must stop the program rather than let it go on. Turn it off with
# -DUPGRADE_HARDENING=OFF (sanitizer and fuzzing builds bring their own instrumentation).
#   -fstack-protector-strong   a canary in every function with a local array or address taken
#   -D_FORTIFY_SOURCE=2         checked variants of memcpy, read, snprintf...; glibc needs
#                               optimisation for it, so Debug builds go without
#   PIE                         the programs load at a random address (ASLR)
#   -z relro -z now             every symbol bound at start, the relocations read-only after it
option(UPGRADE_HARDENING "Build with stack protector, FORTIFY_SOURCE, PIE and full RELRO" ON)

if(UPGRADE_HARDENING)
    include(CheckPIESupported)
    check_pie_supported(OUTPUT_VARIABLE _upgrade_pie_output LANGUAGES CXX)
    if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
        message(FATAL_ERROR "The linker cannot make position-independent executables: "
            "${_upgrade_pie_output}")
    endif()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)

    # -U first: a compiler that defines _FORTIFY_SOURCE already would otherwise warn about the
    # redefinition.
    set(_upgrade_optimised
        "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
    target_compile_options(upgrade_settings INTERFACE
        -fstack-protector-strong
        "$<${_upgrade_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    target_link_options(upgrade_settings INTERFACE -Wl,-z,relro,-z,now)
    message(STATUS "Hardening: on (stack protector, FORTIFY_SOURCE in optimised builds, PIE, "
        "full RELRO)")
else()
    message(STATUS "Hardening: off")
endif()
