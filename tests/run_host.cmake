# Runs hvsrc-host as a user would and checks its exit status and output.
#   -DHOST=<program> -DEMULATOR=<;-list or empty> -DARGS=<;-list> -DEXPECT_RC=<n>
#   -DEXPECT=<regex the whole output must match>
#   [-DEXPECT_OUT=<regex standard output must match>] [-DEXPECT_ERR=<regex for the error stream>]
execute_process(COMMAND ${EMULATOR} ${HOST} ${ARGS}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                WORKING_DIRECTORY ${WORKDIR})
set(all "${out}${err}")
if(NOT "${rc}" STREQUAL "${EXPECT_RC}")
    message(FATAL_ERROR "exit status ${rc}, expected ${EXPECT_RC}\n${all}")
endif()
if(NOT all MATCHES "${EXPECT}")
    message(FATAL_ERROR "output does not match '${EXPECT}':\n${all}")
endif()
if(DEFINED EXPECT_OUT AND NOT out MATCHES "${EXPECT_OUT}")
    message(FATAL_ERROR "standard output does not match '${EXPECT_OUT}':\n${out}")
endif()
if(DEFINED EXPECT_ERR AND NOT err MATCHES "${EXPECT_ERR}")
    message(FATAL_ERROR "error stream does not match '${EXPECT_ERR}':\n${err}")
endif()
message(STATUS "ok: exit ${rc}")
