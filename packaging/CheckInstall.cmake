# Installs the build below a fresh DESTDIR and checks that it holds every
# expected file and that the installed programs answer --version.
#   -DBUILD_DIR= -DDESTDIR= -DEXPECTED=<list file> -DBINDIR=<full> -DDESKTOP_ID=
file(REMOVE_RECURSE ${DESTDIR})
set(ENV{DESTDIR} ${DESTDIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR}
                RESULT_VARIABLE rc OUTPUT_QUIET)
unset(ENV{DESTDIR})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

file(STRINGS ${EXPECTED} expected)
set(missing)
foreach(f ${expected})
  if(NOT EXISTS ${DESTDIR}${f})
    list(APPEND missing ${f})
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "missing from the install tree:\n  ${missing}")
endif()

# The menu entry starts a program that the install holds.
file(GLOB desktop ${DESTDIR}/*/share/applications/${DESKTOP_ID}.desktop
     ${DESTDIR}/*/*/share/applications/${DESKTOP_ID}.desktop)
file(STRINGS ${desktop} exec REGEX "^Exec=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
if(NOT EXISTS ${DESTDIR}${BINDIR}/${exec})
  message(FATAL_ERROR "the desktop entry's Exec=${exec} is not in ${BINDIR}")
endif()

# The service starts a program that the install holds.
foreach(f ${expected})
  if(f MATCHES "\\.service$")
    file(STRINGS ${DESTDIR}${f} exec REGEX "^ExecStart=")
    string(REGEX REPLACE "^ExecStart=([^ ]+).*" "\\1" exec "${exec}")
    if(NOT EXISTS ${DESTDIR}${exec})
      message(FATAL_ERROR "${f}: ExecStart=${exec} is not installed")
    endif()
  endif()
endforeach()

foreach(f ${expected})
  get_filename_component(dir ${f} DIRECTORY)
  if(dir STREQUAL BINDIR OR f MATCHES "/lib/scaledb/")
    execute_process(COMMAND ${DESTDIR}${f} --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out MATCHES " [0-9]")
      message(FATAL_ERROR "${f} --version: status ${rc}, printed \"${out}\"")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE ${DESTDIR})
message(STATUS "install tree complete: ${DESTDIR}")
