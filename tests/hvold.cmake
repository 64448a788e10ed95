# The legacy HV source: its line protocol, the device class and the simulated source behind it.
hvsrc_add_test(test_hvold SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hvold.cpp
               LIBS hvsrc_core hvhost ftd2xx)
