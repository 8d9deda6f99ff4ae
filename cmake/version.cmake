# Branch, short commit and build flavour of the server's version string, taken
# from git when the sources are a checkout; plain words when they are not.
set(MV_GIT_BRANCH "nobranch")
set(MV_GIT_COMMIT "nocommit")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --abbrev-ref HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE _branch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc1)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE _commit
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc2)
  if(_rc1 EQUAL 0 AND NOT _branch STREQUAL "")
    set(MV_GIT_BRANCH "${_branch}")
  endif()
  if(_rc2 EQUAL 0 AND NOT _commit STREQUAL "")
    set(MV_GIT_COMMIT "${_commit}")
  endif()
endif()
string(TOLOWER "${CMAKE_BUILD_TYPE}" MV_BUILD_FLAVOUR)
if(MV_SANITIZE)
  set(MV_BUILD_FLAVOUR "${MV_BUILD_FLAVOUR}+san")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/mvver_build.h.in
               ${CMAKE_BINARY_DIR}/generated/mvver_build.h @ONLY)
