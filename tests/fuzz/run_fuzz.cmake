# Runs one fuzz target: every input of its committed corpus first, then fresh inputs for
# $ENV{FUZZ_SECONDS} seconds (20 when unset), or until $ENV{FUZZ_RUNS} inputs have run. New
# inputs go to WORK/corpus, a failing input and the fuzzer's output to WORK.
#   -DFUZZER=<program> -DCORPUS=<committed corpus directory> -DWORK=<scratch directory>
set(seconds 20)
if(DEFINED ENV{FUZZ_SECONDS} AND NOT "$ENV{FUZZ_SECONDS}" STREQUAL "")
    set(seconds $ENV{FUZZ_SECONDS})
endif()
if(NOT seconds MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "FUZZ_SECONDS must be a whole number of seconds above 0, not '${seconds}'")
endif()
set(runs -1)
if(DEFINED ENV{FUZZ_RUNS} AND NOT "$ENV{FUZZ_RUNS}" STREQUAL "")
    set(runs $ENV{FUZZ_RUNS})
endif()
get_filename_component(name ${FUZZER} NAME)
file(MAKE_DIRECTORY ${WORK}/corpus)
set(output ${WORK}/fuzz.log)
# -timeout: one input that takes seconds is a hang (the line runs in simulated time).
execute_process(COMMAND ${FUZZER} -max_total_time=${seconds} -runs=${runs} -timeout=10
                        -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK}/corpus ${CORPUS}
                RESULT_VARIABLE rc OUTPUT_FILE ${output} ERROR_FILE ${output})
file(READ ${output} log)
string(REGEX MATCH "stat::number_of_executed_units: ([0-9]+)" _ "${log}")
set(executed "${CMAKE_MATCH_1}")
string(REGEX MATCH "Done [0-9]+ runs in ([0-9]+) second" _ "${log}")
set(elapsed "${CMAKE_MATCH_1}")
string(REGEX MATCH "stat::average_exec_per_sec: +([0-9]+)" _ "${log}")
set(speed "${CMAKE_MATCH_1}")
string(REGEX MATCH "INITED[^\n]*corp: ([0-9]+)" _ "${log}")
set(seeds "${CMAKE_MATCH_1}")
if(NOT rc EQUAL 0)
    string(LENGTH "${log}" length)
    if(length GREATER 12000)
        math(EXPR from "${length} - 12000")
        string(SUBSTRING "${log}" ${from} -1 log)
    endif()
    message(FATAL_ERROR "${name} failed (exit ${rc}); its output is in ${output}, the input "
                        "that failed in ${WORK}:\n${log}")
endif()
message(STATUS "${name}: ${executed} inputs in ${elapsed} s (${speed} per second); "
               "the corpus (${seeds} inputs kept) replayed first")
