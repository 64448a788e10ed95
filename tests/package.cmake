# Shipping: the packages as users unpack them, and (Windows) the plug-in beside the D2XX library
# under the name the vendor's installer gives it.

# A package of a sanitizer build is nothing anyone ships.
if(NOT HVSRC_SANITIZE)
    if(WIN32)
        set(archive hvsrc-${PROJECT_VERSION}-win64)
        set(files hvsrc.dll hvsrc-host.exe sim/ftd2xx64.dll)
        set(resource_check
            -DWINDRES=${CMAKE_RC_COMPILER} -DRESOURCE_FILE=hvsrc.dll
            "-DRESOURCE_EXPECT=FILEVERSION ${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, 0;\"ProductVersion\", \"${PROJECT_VERSION}\"")
        set(archive_file ${archive}.zip)
    else()
        set(archive hvsrc-${PROJECT_VERSION}-Linux)
        set(files libhvsrc.so hvsrc-host sim/libftd2xx.so)
        set(resource_check "")
        set(archive_file ${archive}.tar.gz)
        # The example script runs from the unpacked archive with nothing but Python.
        set(example_check -DPYTHON=/usr/bin/python3)
    endif()
    add_test(NAME test_package
             COMMAND ${CMAKE_COMMAND} -DCPACK=${CMAKE_CPACK_COMMAND}
                     -DCONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake
                     -DWORKDIR=${CMAKE_BINARY_DIR}/package-check
                     -DARCHIVE=${archive_file} -DTOP=${archive}
                     "-DFILES=${files};README.md;examples/lab.scn;examples/sensor.scn;examples/iv_scan.py;python/hvsrc/__init__.py;python/pyproject.toml;docs/protocols.md;docs/host-integration.md;docs/architecture.md;docs/scripting.md"
                     "-DBINARIES=${files}" -DOBJDUMP=${CMAKE_OBJDUMP}
                     -DHOST=hvsrc-host${CMAKE_EXECUTABLE_SUFFIX}
                     "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                     "-DEXPECT=HV Source.*BiasMod"
                     ${resource_check} ${example_check}
                     -P ${CMAKE_CURRENT_LIST_DIR}/check_package.cmake)
    set_tests_properties(test_package PROPERTIES TIMEOUT 300)
endif()

if(WIN32)
    # hvsrc-host and the plug-in in a folder of their own with the stand-in driver beside them
    # only as ftd2xx.dll, as the vendor's installer names the library: finding no ftd2xx64.dll,
    # the plug-in binds that one and lists the simulated sources.
    set(fallback_dir ${CMAKE_BINARY_DIR}/fallback-check)
    add_custom_target(fallback_layout ALL
        COMMAND ${CMAKE_COMMAND} -E make_directory ${fallback_dir}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hvsrc-host>
                $<TARGET_FILE:hvsrc> ${fallback_dir}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ftd2xx>
                ${fallback_dir}/ftd2xx.dll
        VERBATIM)
    add_dependencies(fallback_layout hvsrc-host hvsrc ftd2xx)
    add_test(NAME host_fallback_driver
             COMMAND ${CMAKE_COMMAND} -DHOST=${fallback_dir}/hvsrc-host.exe
                     "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                     "-DARGS=--simulate;--driver;ftd2xx.dll;--log-dir;.;list"
                     -DEXPECT_RC=0 "-DEXPECT=HV Source.*BiasMod" -DWORKDIR=${fallback_dir}
                     -P ${CMAKE_CURRENT_LIST_DIR}/run_host.cmake)
    set_tests_properties(host_fallback_driver PROPERTIES TIMEOUT 120)
endif()
