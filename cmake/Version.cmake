# The project's one version, shown by every program's --version and carried
# by the packages: project(VERSION), followed by the source revision when the
# tree is a git checkout ("0.5.0 (git 47ae7e1)", "+dirty" when it has
# uncommitted changes). Written to <build>/generated/project_version.h at
# configure time; `make` configures on every build, so the revision follows
# the checkout. configure_file leaves the header untouched when nothing
# changed, so nothing is recompiled for it.
set(TONECAST_REVISION "" CACHE STRING "Source revision shown after the version (empty: ask git)")
set(revision "${TONECAST_REVISION}")
if(revision STREQUAL "")
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_failed ERROR_QUIET)
    if(git_failed)
      set(revision "")
    else()
      execute_process(COMMAND "${GIT_EXECUTABLE}" status --porcelain --untracked-files=no
                      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                      OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT changes STREQUAL "")
        string(APPEND revision "+dirty")
      endif()
      set(revision "git ${revision}")
    endif()
  endif()
endif()
set(TONECAST_VERSION_TEXT "${PROJECT_VERSION}")
if(NOT revision STREQUAL "")
  string(APPEND TONECAST_VERSION_TEXT " (${revision})")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/project_version.h.in
               ${CMAKE_BINARY_DIR}/generated/project_version.h @ONLY)
add_library(project_version INTERFACE)
target_include_directories(project_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
