# `make package`: a Debian package of what cmake/Install.cmake installs,
# named tonecast_<version>_<arch>.deb after project(VERSION) and the
# machine's architecture, with Debian's copyright file and changelog.
set(TONECAST_MAINTAINER
    "Seed 44c6331f maintainers <maintainers@users.noreply.c-seed-44c6331f.example>"
    CACHE STRING "Maintainer field of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonecast)
set(CPACK_PACKAGE_CONTACT "${TONECAST_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load voice-prompt images into telephone units over a serial line")
# The lines after the summary; CPack indents them as Debian wants.
set(description
    "For service technicians who reflash telephone units over the unit's serial
service port: tonecast checks a voice-prompt image (VP file) and downloads
it to the unit, logging every step to tonecast.log, and linepoke sends the
unit one command line and shows its answer.")
# Each part on lines of its own, none longer than 80 columns.
string(APPEND description "
tonecast-station lists the serial ports and flashes many units at once,
one tonecast per port.")
string(APPEND description "
unitsim, a simulated unit on a pseudo-terminal, and vpimage, which builds
and checks images, let the programs be tried without a unit.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${description}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the binaries themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Directories in the package are 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Debian ships manual pages compressed; `cmake --install` leaves them plain.
# Its copyright file and changelog go into the package alone.
set(CPACK_TONECAST_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_TONECAST_PROGRAMS "${TONECAST_INSTALLED}")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressManPages.cmake
                            ${CMAKE_CURRENT_LIST_DIR}/DebianDocs.cmake)

include(CPack)
