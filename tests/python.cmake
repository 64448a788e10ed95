# The Python module hvsrc against this build's hvsrc-host session on simulated sources: Debian's
# pytest run with Debian's python3 (the Windows build's program under Wine, through the same
# pipes as on Windows). Its session's reader thread runs under ThreadSanitizer in that build.
set(HVSRC_PYTHON /usr/bin/python3)
add_test(NAME test_python
         COMMAND ${CMAKE_COMMAND} -DPYTHON=${HVSRC_PYTHON}
                 "-DHOST=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:hvsrc-host>"
                 -DTESTS=${CMAKE_SOURCE_DIR}/python/tests -DMODULE=${CMAKE_SOURCE_DIR}/python
                 -DWORKDIR=${CMAKE_BINARY_DIR}/python-check
                 -P ${CMAKE_CURRENT_LIST_DIR}/run_pytest.cmake)
set_tests_properties(test_python PROPERTIES TIMEOUT 600 LABELS threads)
if(HVSRC_SANITIZE_THREAD)
    set_property(TEST test_python PROPERTY ENVIRONMENT
        "TSAN_OPTIONS=halt_on_error=1:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/tsan.supp")
endif()
