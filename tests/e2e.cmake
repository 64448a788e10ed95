# The whole system: the loaded plug-in against the three simulated models.
hvsrc_add_test(test_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
               LIBS hvhost ftd2xx)
add_dependencies(test_e2e hvsrc)
