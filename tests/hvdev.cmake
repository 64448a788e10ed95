# The current HV source model: its command protocol, the device class and the simulated source.
hvsrc_add_test(test_cmdmgr SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cmdmgr.cpp
               LIBS hvsrc_core hvhost ftd2xx THREADS)
hvsrc_add_test(test_hvdev SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hvdev.cpp
               LIBS hvsrc_core hvhost ftd2xx)
