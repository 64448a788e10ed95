# The fault matrix: every kind of source, each device operation, under each fault a bridge or a
# source can show; prints the whole matrix. Its cells run on three threads.
hvsrc_add_test(test_faults SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_faults.cpp
               LIBS hvsrc_core hvhost ftd2xx THREADS)
