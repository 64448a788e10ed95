# Reliability under load and at the limits, through the loaded plug-in: eight threads and a
# re-initializing one on each kind of device (also under ThreadSanitizer).
hvsrc_add_test(test_stress SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_stress.cpp
               LIBS hvhost ftd2xx THREADS)
add_dependencies(test_stress hvsrc)

# The HV safety property: no voltage outside a source's limits reaches it, whatever a host asks.
hvsrc_add_test(test_safety SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_safety.cpp LIBS hvhost ftd2xx)
add_dependencies(test_safety hvsrc)
