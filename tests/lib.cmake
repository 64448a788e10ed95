# The plug-in's entry and library object, the start-up listing, the common device base, the
# binary layout of the interfaces, and the plug-in's export table.

hvsrc_add_test(test_lib SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lib.cpp
               LIBS hvsrc_core hvhost ftd2xx)

hvsrc_add_test(test_devbase SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_devbase.cpp
               LIBS hvsrc_core hvhost ftd2xx THREADS)

hvsrc_add_test(test_vtable SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vtable.cpp)
target_include_directories(test_vtable PRIVATE ${CMAKE_SOURCE_DIR}/common)

# A host built in Microsoft's ABI (clang for x86_64-pc-windows-msvc, freestanding, linked by
# lld-link against an import library of the kernel32 functions it calls, made by llvm-dlltool)
# drives every operation of the plug-in's interfaces under Wine, and the plug-in calls back into
# its objects: the slots as the host's compiler lays them out, against the plug-in as MinGW-w64
# built it.
if(WIN32)
    find_program(HVSRC_CLANG NAMES clang clang-14 REQUIRED)
    find_program(HVSRC_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
    find_program(HVSRC_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
    set(msvc_src ${CMAKE_CURRENT_LIST_DIR}/msvc_host)
    set(msvc_work ${CMAKE_BINARY_DIR}/msvc_host)
    set(msvc_exe ${HVSRC_TEST_DIR}/msvc_host.exe)
    file(MAKE_DIRECTORY ${msvc_work})
    file(GLOB msvc_headers ${CMAKE_SOURCE_DIR}/common/jd/*.h)
    add_custom_command(OUTPUT ${msvc_exe}
        COMMAND ${HVSRC_CLANG} --target=x86_64-pc-windows-msvc -std=c++17 -O2 -ffreestanding
                -fno-exceptions -fno-rtti -fno-stack-protector -mno-stack-arg-probe
                ${HVSRC_WARNINGS} -I ${msvc_src}/include -I ${CMAKE_SOURCE_DIR}/common
                -I ${CMAKE_SOURCE_DIR}/sim -c ${msvc_src}/msvc_host.cpp
                -o ${msvc_work}/msvc_host.obj
        COMMAND ${HVSRC_DLLTOOL} -m i386:x86-64 -d ${msvc_src}/kernel32.def
                -l ${msvc_work}/kernel32.lib
        COMMAND ${HVSRC_LLD_LINK} -nologo -subsystem:console -entry:hostStart -nodefaultlib
                ${msvc_work}/msvc_host.obj ${msvc_work}/kernel32.lib -out:${msvc_exe}
        DEPENDS ${msvc_src}/msvc_host.cpp ${msvc_src}/kernel32.def ${msvc_src}/include/cstdint
                ${msvc_headers} ${CMAKE_SOURCE_DIR}/sim/simctl.h ${CMAKE_SOURCE_DIR}/sim/sim_hvsrc.h
                ${CMAKE_SOURCE_DIR}/sim/sim_bias.h
        COMMENT "Building the Microsoft-ABI host msvc_host.exe"
        VERBATIM)
    # The stand-in driver beside it, as beside every test program.
    add_custom_target(msvc_host ALL
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ftd2xx> ${HVSRC_TEST_DIR}/
        DEPENDS ${msvc_exe} VERBATIM)
    add_dependencies(msvc_host hvsrc ftd2xx)
    add_test(NAME msvc_host COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${msvc_exe}
             WORKING_DIRECTORY ${HVSRC_TEST_DIR})
    set_tests_properties(msvc_host PROPERTIES TIMEOUT 300)
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
