# Installs the build into a fresh prefix and checks that it holds every
# expected file and that the installed programs answer --version.
#   -DBUILD_DIR= -DPREFIX= -DEXPECTED=<list file> -DBINDIR= -DDESKTOP_ID=
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

file(STRINGS ${EXPECTED} expected)
set(missing)
foreach(f ${expected})
  if(NOT EXISTS ${PREFIX}/${f})
    list(APPEND missing ${f})
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "missing from the install tree:\n  ${missing}")
endif()

# The menu entry starts a program that the install holds.
file(STRINGS ${PREFIX}/share/applications/${DESKTOP_ID}.desktop exec REGEX "^Exec=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
if(NOT EXISTS ${PREFIX}/${BINDIR}/${exec})
  message(FATAL_ERROR "the desktop entry's Exec=${exec} is not in ${BINDIR}")
endif()

foreach(f ${expected})
  if(f MATCHES "^${BINDIR}/")
    execute_process(COMMAND ${PREFIX}/${f} --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out MATCHES " [0-9]")
      message(FATAL_ERROR "${f} --version: status ${rc}, printed \"${out}\"")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
message(STATUS "install tree complete: ${PREFIX}")
