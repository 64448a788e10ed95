# The plug-in's entry and library object, the start-up listing, the common device base, the
# binary layout of the interfaces, and the plug-in's export table.

hvsrc_add_test(test_devbase SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_devbase.cpp
               LIBS hvsrc_core hvhost ftd2xx)

hvsrc_add_test(test_vtable SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vtable.cpp)
target_include_directories(test_vtable PRIVATE ${CMAKE_SOURCE_DIR}/common)

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
