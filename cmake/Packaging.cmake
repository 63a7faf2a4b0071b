# `make package`: a Debian package of what cmake/Install.cmake installs,
# named tonecast_<version>_<arch>.deb after project(VERSION) and the
# machine's architecture.
set(TONECAST_MAINTAINER
    "Seed 44c6331f maintainers <maintainers@users.noreply.c-seed-44c6331f.example>"
    CACHE STRING "Maintainer field of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonecast)
set(CPACK_PACKAGE_CONTACT "${TONECAST_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load voice-prompt images into telephone units over a serial line")
# The lines after the summary; CPack indents them as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "For service technicians who reflash telephone units over the unit's serial
service port: tonecast checks a voice-prompt image (VP file) and downloads
it to the unit, logging every step to tonecast.log, and linepoke sends the
unit one command line and shows its answer. unitsim, a simulated unit on a
pseudo-terminal, and vpimage, which builds and checks images, let both be
tried without a unit.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the binaries themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Debian ships manual pages compressed; `cmake --install` leaves them plain.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake)

include(CPack)
