# Makes the package of this build, unpacks it into a folder of its own and runs the packaged
# hvsrc-host from there, so a package that misses or misplaces a file fails.
#   -DCPACK=<cpack> -DCONFIG=<CPackConfig.cmake> -DWORKDIR=<scratch folder, emptied first>
#   -DARCHIVE=<expected file name> -DTOP=<expected top folder inside it>
#   -DFILES=<;-list of paths inside TOP that must exist> -DBINARIES=<;-list, checked for no debug
#   information> -DOBJDUMP=<objdump> -DHOST=<path of hvsrc-host inside TOP>
#   -DEMULATOR=<;-list or empty> -DEXPECT=<regex the listing must match>
#   [-DWINDRES=<windres> -DRESOURCE_FILE=<path inside TOP> -DRESOURCE_EXPECT=<;-list of regexes>]
#   [-DPYTHON=<python3>: examples/iv_scan.py is run from the unpacked package too]
foreach(var CPACK CONFIG WORKDIR ARCHIVE TOP FILES BINARIES OBJDUMP HOST EXPECT)
    if(NOT ${var})
        message(FATAL_ERROR "check_package: ${var} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/unpacked" "${WORKDIR}/run")
execute_process(COMMAND "${CPACK}" --config "${CONFIG}" -B "${WORKDIR}/out"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed (${rc}):\n${out}${err}")
endif()
if(NOT EXISTS "${WORKDIR}/out/${ARCHIVE}")
    file(GLOB written RELATIVE "${WORKDIR}/out" "${WORKDIR}/out/*")
    message(FATAL_ERROR "cpack did not write ${ARCHIVE} (it wrote: ${written})")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${WORKDIR}/out/${ARCHIVE}"
                WORKING_DIRECTORY "${WORKDIR}/unpacked" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${ARCHIVE}")
endif()

set(root "${WORKDIR}/unpacked/${TOP}")
file(GLOB_RECURSE unpacked RELATIVE "${WORKDIR}/unpacked" "${WORKDIR}/unpacked/*")
foreach(path IN LISTS FILES)
    if(NOT EXISTS "${root}/${path}")
        message(FATAL_ERROR "${ARCHIVE} lacks ${TOP}/${path}; it holds: ${unpacked}")
    endif()
endforeach()
# The stand-in driver stays in sim/: anywhere else a library search could take it for the
# vendor's driver.
foreach(path IN LISTS unpacked)
    if(path MATCHES "ftd2xx[^/]*$" AND NOT path MATCHES "^${TOP}/sim/[^/]+$")
        message(FATAL_ERROR "${ARCHIVE} holds a D2XX library outside sim/: ${path}")
    endif()
endforeach()

foreach(path IN LISTS BINARIES)
    execute_process(COMMAND "${OBJDUMP}" -h "${root}/${path}" RESULT_VARIABLE rc
                    OUTPUT_VARIABLE sections ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} cannot read ${path}: ${err}")
    endif()
    if(sections MATCHES "\\.debug_")
        message(FATAL_ERROR "${path} is not stripped:\n${sections}")
    endif()
endforeach()

if(WINDRES)
    execute_process(COMMAND "${WINDRES}" -i "${root}/${RESOURCE_FILE}" -O rc
                    RESULT_VARIABLE rc OUTPUT_VARIABLE resources ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${RESOURCE_FILE} has no readable resources: ${err}")
    endif()
    foreach(regex IN LISTS RESOURCE_EXPECT)
        if(NOT resources MATCHES "${regex}")
            message(FATAL_ERROR "${RESOURCE_FILE}'s resources do not match '${regex}':\n${resources}")
        endif()
    endforeach()
endif()

# Run from an empty folder, so only what the package holds can be found.
foreach(scenario "--simulate" "--scenario;${root}/examples/lab.scn")
    execute_process(COMMAND ${EMULATOR} "${root}/${HOST}" ${scenario} --log-dir . list
                    WORKING_DIRECTORY "${WORKDIR}/run"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "${EXPECT}")
        message(FATAL_ERROR "packaged ${HOST} ${scenario} list: exit ${rc}\n${out}${err}")
    endif()
endforeach()
if(PYTHON)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=HVSRC_HOST --unset=PYTHONPATH
                            "${PYTHON}" "${root}/examples/iv_scan.py" --to 400 --step 25
                    WORKING_DIRECTORY "${WORKDIR}/run"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "compliance 10 uA reached at 3[5-7]5 V")
        message(FATAL_ERROR "packaged examples/iv_scan.py: exit ${rc}\n${out}${err}")
    endif()
endif()
message(STATUS "${ARCHIVE}: complete, stripped, runs")
