# Run by CPack between staging the install tree and building the package:
# compresses the staged manual pages as Debian expects (gzip -9n, no name
# or time stamp inside, so the package is the same on every build).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
foreach(page IN LISTS pages)
  if(page MATCHES "/man/man1/[^/]+\\.1$")
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot compress ${page}")
    endif()
  endif()
endforeach()
