# Runs the Python module's pytest suite against one hvsrc-host.
#   -DPYTHON=<python3> -DHOST=<;-list: emulator (may be empty) and the program>
#   -DTESTS=<the suite's folder> -DMODULE=<the folder holding hvsrc/> -DWORKDIR=<scratch folder>
# pytest's exit 5 (no test collected) is a failure here: a suite that finds nothing proves nothing.
cmake_policy(SET CMP0007 NEW)
list(JOIN HOST " " host_command)
string(STRIP "${host_command}" host_command)
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "HVSRC_HOST=${host_command}" "PYTHONPATH=${MODULE}"
                        PYTHONDONTWRITEBYTECODE=1
                        "${PYTHON}" -m pytest -q -p no:cacheprovider --basetemp=${WORKDIR}/tmp
                        "${TESTS}"
                WORKING_DIRECTORY "${WORKDIR}" RESULT_VARIABLE rc)
if(rc EQUAL 5)
    message(FATAL_ERROR "pytest collected no tests in ${TESTS}")
elseif(NOT rc EQUAL 0)
    message(FATAL_ERROR "pytest failed (exit ${rc}) against ${host_command}")
endif()
