# Runs hvsrc-host as a user would and checks its exit status and output.
#   -DHOST=<program> -DEMULATOR=<;-list or empty> -DARGS=<;-list> -DEXPECT_RC=<n>
#   -DEXPECT=<regex the output must match> [-DREJECT=<regex it must not match>]
#   [-DEXPECT_FILE=<file that must exist afterwards> -DFILE_EXPECT=<regex its text must match>]
execute_process(COMMAND ${EMULATOR} ${HOST} ${ARGS}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                WORKING_DIRECTORY ${WORKDIR})
set(all "${out}${err}")
if(NOT "${rc}" STREQUAL "${EXPECT_RC}")
    message(FATAL_ERROR "exit status ${rc}, expected ${EXPECT_RC}\n${all}")
endif()
if(DEFINED EXPECT AND NOT all MATCHES "${EXPECT}")
    message(FATAL_ERROR "output does not match '${EXPECT}':\n${all}")
endif()
if(DEFINED REJECT AND all MATCHES "${REJECT}")
    message(FATAL_ERROR "output matches '${REJECT}':\n${all}")
endif()
if(DEFINED EXPECT_FILE)
    if(NOT EXISTS "${EXPECT_FILE}")
        message(FATAL_ERROR "${EXPECT_FILE} was not written\n${all}")
    endif()
    file(READ "${EXPECT_FILE}" text)
    if(DEFINED FILE_EXPECT AND NOT text MATCHES "${FILE_EXPECT}")
        message(FATAL_ERROR "${EXPECT_FILE} does not match '${FILE_EXPECT}'")
    endif()
endif()
message(STATUS "ok: exit ${rc}")
