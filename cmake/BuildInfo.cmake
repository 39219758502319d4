# The build number and commit id are fixed when the build is configured: the build number is the
# commit count of HEAD, the id its short hash.
find_package(Git QUIET)
set(LUMO_BUILD_NUMBER 0)
set(LUMO_BUILD_HASH "unknown")
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _count OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _count_rc ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _hash OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _hash_rc ERROR_QUIET)
    if(_count_rc EQUAL 0 AND _hash_rc EQUAL 0)
        set(LUMO_BUILD_NUMBER ${_count})
        set(LUMO_BUILD_HASH ${_hash})
    endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildInfo.h.in ${CMAKE_BINARY_DIR}/generated/BuildInfo.h @ONLY)
