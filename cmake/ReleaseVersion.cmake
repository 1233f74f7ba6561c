# The version of a release, REVERSEPROXY_VERSION: the package's version and what
# reverseproxyctl --version and the service's status give. A package repository
# upgrades only to a greater version, so every commit gets one of its own: the
# project's version and the number of commits of a git checkout (1.0.0+412),
# or the version a commit is tagged with (v1.1.0 gives 1.1.0). Outside a
# checkout of this project (a source archive) it is the project's version.
function(reverseproxy_release_version)
  set(version ${PROJECT_VERSION})
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # Only this project's own checkout counts, not one that happens to contain it.
  if(toplevel)
    get_filename_component(toplevel "${toplevel}" REALPATH)
    get_filename_component(source "${PROJECT_SOURCE_DIR}" REALPATH)
  endif()
  if(toplevel AND toplevel STREQUAL source)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --exact-match --match "v[0-9]*" HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE tag OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(tag MATCHES "^v([0-9][0-9A-Za-z.+~]*)$")
      set(version ${CMAKE_MATCH_1})
    elseif(count MATCHES "^[0-9]+$")
      set(version "${PROJECT_VERSION}+${count}")
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --is-shallow-repository
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE shallow OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(shallow STREQUAL "true")
        message(WARNING "A shallow clone counts only the commits it holds: "
                        "version ${version} may be older than releases already built")
      endif()
    endif()
    # A commit or a checkout moves HEAD: the next build configures again.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    get_filename_component(head_log "${head_log}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(EXISTS "${head_log}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
    endif()
  endif()
  # In the cache for scripts/package, which names the .deb after it.
  set(REVERSEPROXY_VERSION ${version} CACHE INTERNAL "The release version")
endfunction()

reverseproxy_release_version()
message(STATUS "Release version: ${REVERSEPROXY_VERSION}")
