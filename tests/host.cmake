# hvsrc-host run as a user runs it: in-process through its entry (every platform), as a process
# for what only a process shows, and interrupted with SIGINT (Linux).
hvsrc_add_test(test_host THREADS SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_host.cpp
               ${CMAKE_CURRENT_LIST_DIR}/test_host_outputs.cpp
               LIBS hvhostapp ftd2xx)
add_dependencies(test_host hvsrc)

# Wine cannot deliver a console Ctrl-C to a program it runs from a script, so the interrupted
# monitor and ramp are tested on Linux only, with SIGINT.
if(NOT WIN32)
    hvsrc_add_test(test_host_signal SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_host_signal.cpp
                   LIBS hvcommon)
    add_dependencies(test_host_signal hvsrc-host)
endif()

set(HVSRC_HOST_WORKDIR ${CMAKE_BINARY_DIR}/host-cli)
file(MAKE_DIRECTORY ${HVSRC_HOST_WORKDIR})
# hvsrc_host_test(NAME RC REGEX ARGS...): the program itself, its output streams as they are.
function(hvsrc_host_test name rc regex)
    set(extra ${ARGN})
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:hvsrc-host>
                     "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" "-DARGS=${extra}"
                     -DEXPECT_RC=${rc} "-DEXPECT=${regex}" -DWORKDIR=${HVSRC_HOST_WORKDIR}
                     ${HVSRC_HOST_CHECK}
                     -P ${CMAKE_CURRENT_LIST_DIR}/run_host.cmake)
    set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

# No D2XX driver where the program looks for it: said so, exit 3.
hvsrc_host_test(host_no_driver 3 "D2XX driver \\([a-z0-9]+\\.(so|dll)( or ftd2xx\\.dll)?\\) was not found"
                --log-dir . list)
set(HVSRC_HOST_CHECK "-DEXPECT_OUT=^usage: hvsrc-host" "-DEXPECT_ERR=^$")
hvsrc_host_test(host_help 0 "" --help)
unset(HVSRC_HOST_CHECK)

# The same three kinds on lines at their real pace (wire=on): set and read back through each.
file(WRITE ${HVSRC_HOST_WORKDIR}/wire.scn
     "hvsrc | Tessaro HV Source: 1 | wire=on range0=-500:500\n"
     "hvold | HV source AVR |\n"
     "bias | BiasModule: 3 | limits=0:90 load=100\n")
hvsrc_host_test(host_wire 0
                "device 0 source 0: 250.0 V.*device 1 source 0: 100.0 V.*device 2 source 0: 42.5 V"
                --scenario wire.scn --log-dir . set 0 0 250 + set 1 0 100 + set 2 0 42.5
                + read 0 0 + read 1 0 + read 2 0)
