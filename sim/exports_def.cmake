# Writes the module-definition file of the stand-in driver DLL: every C function (an undecorated
# text symbol) defined in the driver's own objects, and nothing else, so neither the C++ runtime
# linked in statically nor template code is exported. Run before linking with
#   -DNM=<nm> -DOUT=<file.def> -DOBJECTS=<obj;obj;...>
if(NOT NM OR NOT OUT OR NOT OBJECTS)
    message(FATAL_ERROR "exports_def.cmake needs NM, OUT and OBJECTS")
endif()
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} failed on the driver's objects")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ T [A-Za-z][A-Za-z0-9_]*" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${line}")
    list(APPEND names "${name}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(JOIN names "\n    " body)
set(content "EXPORTS\n    ${body}\n")
if(EXISTS "${OUT}")
    file(READ "${OUT}" old)
    if(old STREQUAL content)
        return()
    endif()
endif()
file(WRITE "${OUT}" "${content}")
