# hvsrc-bench once with a few repetitions of everything, so it cannot rot (make bench runs it in
# full); it must set up every run and print its goals.
set(HVSRC_BENCH_WORKDIR ${CMAKE_BINARY_DIR}/bench-quick)
file(MAKE_DIRECTORY ${HVSRC_BENCH_WORKDIR})
add_test(NAME bench_quick
         COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:hvsrc-bench>
                 "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" "-DARGS=--quick;--log-dir;."
                 -DEXPECT_RC=0 "-DEXPECT=Goals.*no memory growth" -DWORKDIR=${HVSRC_BENCH_WORKDIR}
                 -P ${CMAKE_CURRENT_LIST_DIR}/run_host.cmake)
set_tests_properties(bench_quick PROPERTIES TIMEOUT 300)
