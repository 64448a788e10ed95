# The stand-in D2XX driver, called directly through its exported functions.
hvsrc_add_test(test_sim SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim.cpp LIBS hvhost ftd2xx)
