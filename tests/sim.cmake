# The stand-in D2XX driver, called directly through its exported functions.
hvsrc_add_test(test_sim SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim.cpp LIBS ftd2xx THREADS)
# Status values and flags come from the plug-in's own declarations (header only).
target_include_directories(test_sim PRIVATE ${CMAKE_SOURCE_DIR}/common)

# The simulated sources seen from the wire through a plain FTDI channel.
hvsrc_add_test(test_simmodels SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_simmodels.cpp
               LIBS hvcommon ftd2xx)
