# SPDX-License-Identifier: MIT
# The licence, the changelog and the manual pages that go with the programs: installed by
# `cmake --install` and so put in the package. Debian wants the changelog and the manual pages
# compressed with gzip -9; -n leaves out the name and time stamp, so the same text always gives
# the same bytes.
find_program(UPGRADE_GZIP gzip)
if(NOT UPGRADE_GZIP)
    message(FATAL_ERROR "gzip is needed to compress the changelog and the manual pages")
endif()

set(UPGRADE_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
set(UPGRADE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/upgradedeploy")

# The package version comes from the project; a release whose changelog does not begin with its
# version would ship a changelog that contradicts the package, so refuse to configure.
file(STRINGS "${UPGRADE_CHANGELOG}" _upgrade_changelog_top LIMIT_COUNT 1)
if(NOT _upgrade_changelog_top MATCHES "^upgradedeploy \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with '${_upgrade_changelog_top}', not with "
        "version ${PROJECT_VERSION}: add an entry for this version")
endif()

# Compresses |source| into <build>/docs/|name|.gz at build time; the result is installed to
# |destination|.
function(upgrade_install_gzipped source name destination)
    set(copy "${PROJECT_BINARY_DIR}/docs/${name}")
    add_custom_command(OUTPUT "${copy}.gz"
        COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${copy}"
        COMMAND "${UPGRADE_GZIP}" -9nf "${copy}"
        DEPENDS "${source}"
        COMMENT "Compressing ${name}"
        VERBATIM)
    set_property(GLOBAL APPEND PROPERTY UPGRADE_GZIPPED_DOCS "${copy}.gz")
    install(FILES "${copy}.gz" DESTINATION "${destination}")
endfunction()

upgrade_install_gzipped("${UPGRADE_CHANGELOG}" changelog "${UPGRADE_DOC_DIR}")
foreach(program UpgradeDeploy UpgradeDescribe)
    upgrade_install_gzipped("${PROJECT_SOURCE_DIR}/man/${program}.1" ${program}.1
        "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()
get_property(_upgrade_gzipped_docs GLOBAL PROPERTY UPGRADE_GZIPPED_DOCS)
add_custom_target(upgrade_docs ALL DEPENDS ${_upgrade_gzipped_docs})

install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${UPGRADE_DOC_DIR}")
