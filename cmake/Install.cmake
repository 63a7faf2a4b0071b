# What `cmake --install` puts on a machine: the two programs, the station
# that runs tonecast for many units at once, and the two tools beside them
# in bin/, each with its manual page in share/man/man1/. Tests and
# benchmarks stay in the build tree. The pages are installed as written in
# man/; installing compiles nothing.
include(GNUInstallDirs)

set(TONECAST_PROGRAMS tonecast linepoke unitsim vpimage tonecast-station)

# TONECAST_INSTALLED: the programs that this build installs.
set(TONECAST_INSTALLED)
foreach(program IN LISTS TONECAST_PROGRAMS)
  if(TARGET ${program})
    list(APPEND TONECAST_INSTALLED ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
    # Every page is required: a missing one fails the install.
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
