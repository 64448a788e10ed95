# The file log, its lock object and the shared text helpers.
hvsrc_add_test(test_textutil SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_textutil.cpp LIBS hvcommon)
hvsrc_add_test(test_filelog SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_filelog.cpp LIBS hvcommon
               THREADS)
