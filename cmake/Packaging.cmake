# SPDX-License-Identifier: MIT
# Debian package of the program (cpack -G DEB, from the build tree): the install rules of src/ and
# describe/ put the programs under bin/ and cmake/Documents.cmake the licence, the changelog and
# the manual pages under share/; the tests install nothing, so a tree built with its tests gives
# the same package as one built without. The architecture follows the target of the
# build (a toolchain file makes it armhf or arm64) and the Qt dependency follows the Qt in use.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME upgradedeploy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The UpgradeDeploy developers")

# Whoever ships the package sets the contact (Debian wants "Name <address>"); the default is a
# placeholder in a reserved domain, so that a package built without it says whose it is not.
set(UPGRADE_PACKAGE_MAINTAINER "The UpgradeDeploy developers <upgradedeploy@example.org>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")
if(NOT UPGRADE_PACKAGE_MAINTAINER MATCHES "^[^<>]*[^ <>] <[^<>@ ]+@[^<>@ ]+>$")
    message(FATAL_ERROR "UPGRADE_PACKAGE_MAINTAINER must read 'Name <address>', "
        "not '${UPGRADE_PACKAGE_MAINTAINER}'")
endif()
set(CPACK_PACKAGE_CONTACT "${UPGRADE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPGRADE_PACKAGE_MAINTAINER}")

# Lines of the extended description stay within 80 columns (Debian's rule) once dpkg indents them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "puts the files of a new application version in place and restarts it")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "UpgradeDeploy reads conf.json in the home directory of an application and\n"
    "the file-description document it names, stops the programs that run the\n"
    "files being replaced, moves the new files into place through a backup,\n"
    "removes the files the upgrade lists and restarts the application.\n"
    "UpgradeDescribe writes the file-description document for a directory of\n"
    "new files.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(_upgrade_deb_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*|armhf)$")
    set(_upgrade_deb_arch armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(_upgrade_deb_arch amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i.86$")
    set(_upgrade_deb_arch i386)
else()
    execute_process(COMMAND dpkg --print-architecture
        OUTPUT_VARIABLE _upgrade_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_upgrade_deb_arch})

# A fixed list, as dpkg-shlibdeps does not work for a cross build without more setup; the lower
# bounds are those dpkg-shlibdeps finds for the program built on Debian 12.
if(QT_VERSION_MAJOR EQUAL 6)
    set(_upgrade_qt_depends "libqt6core6 (>= 6.4)")
else()
    set(_upgrade_qt_depends "libqt5core5a (>= 5.15.1)")
endif()
# The ARM EABI unwinder symbols in libgcc_s carry version GCC_3.5.
if(_upgrade_deb_arch STREQUAL armhf)
    set(_upgrade_gcc_depends "libgcc-s1 (>= 3.5)")
else()
    set(_upgrade_gcc_depends "libgcc-s1 (>= 3.0)")
endif()
string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), ${_upgrade_gcc_depends}, ${_upgrade_qt_depends}, libssl3 (>= 3.0.0), "
    "libstdc++6 (>= 5.2)")

# The Mender update module goes where the client looks for the payload type "upgrade-deploy"
# (/usr/share/mender/modules/v3, a path the client cannot be told otherwise), and an example of its
# settings beside the other documents.
install(PROGRAMS "${PROJECT_SOURCE_DIR}/mender/upgrade-deploy"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/mender/modules/v3")
install(FILES "${PROJECT_SOURCE_DIR}/mender/mender.conf"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/upgradedeploy/examples")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mender-client")

include(CPack)
