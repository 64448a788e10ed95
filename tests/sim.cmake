# The stand-in D2XX driver, called directly through its exported functions, and the simulated
# sources seen from the wire.
hvsrc_add_test(test_sim SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim.cpp LIBS hvcommon ftd2xx
               THREADS)
