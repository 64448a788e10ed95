# The plug-in's entry and library object, the start-up listing, the common device base, the
# binary layout of the interfaces, and the plug-in's export table.

hvsrc_add_test(test_lib SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lib.cpp
               LIBS hvsrc_core hvhost ftd2xx)

hvsrc_add_test(test_devbase SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_devbase.cpp
               LIBS hvsrc_core hvhost ftd2xx THREADS)

hvsrc_add_test(test_vtable SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vtable.cpp)
target_include_directories(test_vtable PRIVATE ${CMAKE_SOURCE_DIR}/common)

# The same slots as the host's compiler lays them out: clang computes Microsoft's layouts from the
# interface headers, compared with the table test_vtable pins. Runs where clang is installed.
find_program(HVSRC_CLANG NAMES clang clang-14)
if(HVSRC_CLANG)
    add_test(NAME test_vtable_msvc
             COMMAND ${CMAKE_COMMAND} -DCLANG=${HVSRC_CLANG} -DINCLUDE=${CMAKE_SOURCE_DIR}/common
                     -DPINNED=${CMAKE_CURRENT_LIST_DIR}/test_vtable.cpp
                     -DWORK=${CMAKE_BINARY_DIR}/vtable_msvc
                     -P ${CMAKE_CURRENT_LIST_DIR}/check_vtable_msvc.cmake)
endif()

# The export table of the built plug-in: jdGetHwLib and nothing else. Both builds are configured
# on a Linux machine, so the check runs natively with the binutils that read the format.
if(WIN32)
    find_program(HVSRC_EXPORT_TOOL NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)
    set(HVSRC_EXPORT_KIND pe)
else()
    find_program(HVSRC_EXPORT_TOOL NAMES nm REQUIRED)
    set(HVSRC_EXPORT_KIND elf)
endif()
add_test(NAME test_exports
         COMMAND ${CMAKE_COMMAND} -DKIND=${HVSRC_EXPORT_KIND} -DTOOL=${HVSRC_EXPORT_TOOL}
                 -DFILE=$<TARGET_FILE:hvsrc> -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
