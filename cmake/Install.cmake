# What `cmake --install` puts on a machine: the two programs and the two
# tools beside them in bin/, each with its manual page in share/man/man1/.
# Tests and benchmarks stay in the build tree. The pages are installed as
# written in man/; installing compiles nothing.
include(GNUInstallDirs)

foreach(program tonecast linepoke unitsim vpimage)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${program}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
