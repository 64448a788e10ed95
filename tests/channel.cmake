# The D2XX loader and the FTDI device channel.

# A library that exports only a couple of D2XX functions, loaded by path by test_loader.
add_library(partial_d2xx SHARED ${CMAKE_CURRENT_LIST_DIR}/partial_d2xx.cpp)
target_include_directories(partial_d2xx PRIVATE ${CMAKE_SOURCE_DIR}/common)
target_compile_options(partial_d2xx PRIVATE ${HVSRC_WARNINGS})
set_target_properties(partial_d2xx PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${HVSRC_TEST_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${HVSRC_TEST_DIR})
if(WIN32)
    set_target_properties(partial_d2xx PROPERTIES PREFIX "")
endif()

hvsrc_add_test(test_loader SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_loader.cpp
               LIBS hvcommon ftd2xx)
add_dependencies(test_loader partial_d2xx)
if(WIN32)
    # The stand-in under the name the loader tries second as well, to show the first one wins.
    add_custom_command(TARGET test_loader POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ftd2xx>
                ${HVSRC_TEST_DIR}/ftd2xx.dll)
endif()

hvsrc_add_test(test_ftdidev SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_ftdidev.cpp
               LIBS hvhost ftd2xx)

# Without the driver: neither linked nor reachable, for the channel and for the built plug-in. The program lives in a directory of its own
# and runs there, so neither the run path nor the Windows search order (program directory,
# working directory) finds the stand-in driver that sits beside the other tests.
hvsrc_add_test(test_nodriver SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_nodriver.cpp
               LIBS hvcommon hvhost)
add_dependencies(test_nodriver hvsrc)
set_target_properties(test_nodriver PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${HVSRC_TEST_DIR}/nodriver
    SKIP_BUILD_RPATH ON
    BUILD_RPATH "")
set_tests_properties(test_nodriver PROPERTIES WORKING_DIRECTORY ${HVSRC_TEST_DIR}/nodriver)
