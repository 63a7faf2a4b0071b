# Run by CPack between staging the install tree and building the package:
# the two files Debian wants in every package's folder under
# usr/share/doc/, written here so that `make install` leaves them out.
#  - copyright, in Debian's machine-readable format, with the full text of
#    the licence taken from LICENSE;
#  - changelog.gz: the package is native (this project is its own upstream),
#    so its changelog is changelog.gz, one entry for the version packaged,
#    compressed with gzip -9n. The entry's date is SOURCE_DATE_EPOCH when set,
#    else that of the last commit, so one commit always gives the same
#    package; the current time only outside a git checkout.
# CPACK_TONECAST_SOURCE_DIR and CPACK_TONECAST_PROGRAMS come from
# cmake/Packaging.cmake.
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${doc}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

# copyright: the licence's text from its permission notice on, each line
# indented by one space and each empty line a lone " .".
file(READ "${CPACK_TONECAST_SOURCE_DIR}/LICENSE" licence)
string(FIND "${licence}" "Permission is hereby granted" start)
if(start LESS 0)
  message(FATAL_ERROR "LICENSE: no permission notice")
endif()
string(SUBSTRING "${licence}" ${start} -1 text)
string(STRIP "${text}" text)
string(REPLACE "\n" "\n " text " ${text}")
string(REGEX REPLACE "\n \n" "\n .\n" text "${text}")
string(REGEX REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: 2026 The tonecast developers
License: Expat
${text}
")

# changelog.gz
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_TONECAST_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_status ERROR_QUIET)
  if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  endif()
endif()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(REPLACE ";" ", " programs "${CPACK_TONECAST_PROGRAMS}")
file(WRITE "${doc}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Version ${CPACK_PACKAGE_VERSION} of ${programs}.
    The changes are in the project's version control history.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot compress ${doc}/changelog")
endif()
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
get_filename_component(doc_root "${doc}" DIRECTORY)
file(CHMOD "${doc_root}" "${doc}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
