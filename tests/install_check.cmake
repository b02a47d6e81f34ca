# Installs the build into a scratch prefix and checks that Trevask comes with
# both archiver names (one program and a link) and bundles the example tree
# from there.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DSOURCE_DIR=... -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(file bin/trevask bin/trevask-extract bin/PKZIP.EXE bin/PKZIPC.EXE
             share/man/man1/trevask.1.gz share/man/man1/trevask-extract.1.gz
             share/man/man1/PKZIP.EXE.1.gz share/man/man1/PKZIPC.EXE.1.gz
             share/doc/trevask/copyright)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# One archiver program; the second name is a link to it.
set(link "")
if(IS_SYMLINK ${PREFIX}/bin/PKZIPC.EXE)
  file(READ_SYMLINK ${PREFIX}/bin/PKZIPC.EXE link)
endif()
if(NOT link STREQUAL "PKZIP.EXE" OR IS_SYMLINK ${PREFIX}/bin/PKZIP.EXE)
  message(FATAL_ERROR "bin/PKZIPC.EXE is not a link to the program PKZIP.EXE beside it")
endif()
# man finds the page where it was installed.
execute_process(COMMAND man -M ${PREFIX}/share/man -w trevask RESULT_VARIABLE result
                OUTPUT_VARIABLE page OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT page STREQUAL "${PREFIX}/share/man/man1/trevask.1.gz")
  message(FATAL_ERROR "man -w trevask found '${page}' (status ${result})")
endif()
set(ENV{PATH} "${PREFIX}/bin:$ENV{PATH}")
execute_process(COMMAND trevask ${SOURCE_DIR}/example/Projects ${PREFIX}/out.zip ${PREFIX}/tmp -r
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0 OR NOT EXISTS ${PREFIX}/out.zip OR EXISTS ${PREFIX}/tmp/Projects)
  message(FATAL_ERROR "the installed trevask did not make its bundle (status ${result})")
endif()
execute_process(COMMAND trevask-extract -q --compare ${SOURCE_DIR}/example/Projects ${PREFIX}/out.zip
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed trevask-extract finds the bundle unlike its source (status ${result})")
endif()
file(REMOVE_RECURSE ${PREFIX})
