# The whole system: the loaded plug-in against the three simulated models, and hvsrc-host run as
# a user runs it.
hvsrc_add_test(test_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
               LIBS hvhost ftd2xx)
add_dependencies(test_e2e hvsrc)

set(HVSRC_HOST_WORKDIR ${CMAKE_BINARY_DIR}/host-cli)
file(MAKE_DIRECTORY ${HVSRC_HOST_WORKDIR})
# The default scenario ramps its outputs; value checks use sources that follow at once.
file(WRITE ${HVSRC_HOST_WORKDIR}/fast.scn
     "hvsrc | Tessaro HV Source: 1 | firmware=\"HVS 2.3 sim\" sources=2 range0=-500:500 range1=0:1000 load0=10 load1=20\n"
     "hvold | HV source AVR |\n"
     "bias | BiasModule: 3 | firmware=BM-1.04-sim limits=0:90 polarity=POS load=100\n")
# The same sources on lines at their real pace.
file(WRITE ${HVSRC_HOST_WORKDIR}/wire.scn
     "hvsrc | Tessaro HV Source: 1 | wire=on range0=-500:500\n"
     "hvold | HV source AVR |\n"
     "bias | BiasModule: 3 | limits=0:90 load=100\n")
# hvsrc_host_test(NAME RC REGEX ARGS...)
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

hvsrc_host_test(host_list 0 "HV Source.*HVS 2.3 sim.*\\[-500, 500\\] \\[0, 1000\\].*BiasMod.*\\[0, 90\\]"
                --simulate --log-dir . list)
hvsrc_host_test(host_set_read 0 "device 0 source 1 set to 300 V.*device 0 source 1: 300.0 V"
                --simulate fast.scn --log-dir . set 0 1 300 + read 0 1)
hvsrc_host_test(host_wire 0
                "device 0 source 0: 250.0 V.*device 1 source 0: 100.0 V.*device 2 source 0: 42.5 V"
                --simulate wire.scn --log-dir . set 0 0 250 + set 1 0 100 + set 2 0 42.5
                + read 0 0 + read 1 0 + read 2 0)
hvsrc_host_test(host_params 0 "Voltage2 +int16 +0 +writable.*MaxVoltage2 +int32 +1000 +read-only.*VoltageSense1 +int32"
                --simulate --log-dir . params 0)
hvsrc_host_test(host_put_refused 1 "refused: Voltage out of range 2000"
                --simulate --log-dir . put 0 Voltage2 2000)
hvsrc_host_test(host_set_refused 1 "refused 95 V \\(-1005\\): Voltage out of range 95"
                --simulate --log-dir . set 2 0 95)
hvsrc_host_test(host_bad_device 2 "no device '7'" --simulate --log-dir . read 7)
hvsrc_host_test(host_bad_source 2 "no source '2'" --simulate --log-dir . set 0 2 10)
hvsrc_host_test(host_bad_voltage 2 "'ten' is not a voltage" --simulate --log-dir . set 0 0 ten)
hvsrc_host_test(host_bad_param 2 "has no parameter 'Bogus'" --simulate --log-dir . get 1 Bogus)
hvsrc_host_test(host_bad_command 2 "unknown command 'frobnicate'" --simulate --log-dir . frobnicate)
hvsrc_host_test(host_no_plugin 3 "cannot load the plug-in" --lib ./no-such-plugin --simulate list)
hvsrc_host_test(host_no_driver 3 "cannot load the stand-in D2XX driver"
                --simulate --driver ./no-such-driver list)
file(WRITE ${HVSRC_HOST_WORKDIR}/empty.scn "# no sources\n")
hvsrc_host_test(host_no_devices 4 "no devices found" --simulate empty.scn --log-dir . list)
file(WRITE ${HVSRC_HOST_WORKDIR}/bad.scn "hvsrc | Tessaro HV Source: 4 | sources=two\n")
hvsrc_host_test(host_bad_scenario 2 "bad setting sources=two" --simulate bad.scn list)
set(HVSRC_HOST_CHECK -DEXPECT_FILE=${HVSRC_HOST_WORKDIR}/mon.svg "-DFILE_EXPECT=<polyline")
hvsrc_host_test(host_monitor 0 "wrote mon.csv.*wrote mon.svg"
                --simulate --log-dir . set 0 0 100 + monitor --interval 0.05 --count 4
                --csv mon.csv --svg mon.svg)
unset(HVSRC_HOST_CHECK)
