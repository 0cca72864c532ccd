# Checks cmake/version_info.cmake: a source tree without its own .git (a
# tarball, even one unpacked inside another git work tree, as this build
# directory may be) gets no commit; the project's own tree, when it is a git
# work tree, gets a hexadecimal one.
# In: SCRIPT, INPUT, WORK, PROJECT_DIR, GIT.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tarball")

function(generate source out)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -DSOURCE_DIR=${source} -DVERSION=8.0 -DGIT=${GIT}
            -DINPUT=${INPUT} -DOUTPUT=${out} -P "${SCRIPT}"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "version_info.cmake failed for ${source}")
  endif()
endfunction()

generate("${WORK}/tarball" "${WORK}/tarball.h")
file(READ "${WORK}/tarball.h" text)
if(NOT text MATCHES "#define VNX_VERSION_COMMIT \"\"\n")
  message(FATAL_ERROR "a tree without .git got a commit:\n${text}")
endif()
if(NOT text MATCHES "#define VNX_VERSION_NUMBER \"8.0\"\n")
  message(FATAL_ERROR "the version is missing:\n${text}")
endif()

if(GIT AND EXISTS "${PROJECT_DIR}/.git")
  generate("${PROJECT_DIR}" "${WORK}/git.h")
  file(READ "${WORK}/git.h" text)
  if(NOT text MATCHES "#define VNX_VERSION_COMMIT \"[0-9a-f]+(-dirty)?\"\n")
    message(FATAL_ERROR "the git work tree got no commit:\n${text}")
  endif()
endif()
file(REMOVE_RECURSE "${WORK}")
