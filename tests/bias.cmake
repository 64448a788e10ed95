# The bias module: its command protocol, the device class and the simulated module behind it.
hvsrc_add_test(test_bias SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_bias.cpp
               LIBS hvsrc_core hvhost ftd2xx)
