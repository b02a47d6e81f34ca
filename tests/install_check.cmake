# Installs the build into a scratch prefix and checks that Trevask comes with
# both archivers and bundles the example tree from there.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DSOURCE_DIR=... -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(program trevask PKZIP.EXE PKZIPC.EXE)
  if(NOT EXISTS ${PREFIX}/bin/${program})
    message(FATAL_ERROR "not installed: bin/${program}")
  endif()
endforeach()
set(ENV{PATH} "${PREFIX}/bin:$ENV{PATH}")
execute_process(COMMAND trevask ${SOURCE_DIR}/example/Projects ${PREFIX}/out.zip ${PREFIX}/tmp -r
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0 OR NOT EXISTS ${PREFIX}/out.zip OR EXISTS ${PREFIX}/tmp/Projects)
  message(FATAL_ERROR "the installed trevask did not make its bundle (status ${result})")
endif()
file(REMOVE_RECURSE ${PREFIX})
