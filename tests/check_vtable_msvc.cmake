# Fails unless Microsoft's compiler, which builds the host, lays out the interfaces' vtables as
# test_vtable.cpp pins them for g++, which builds the plug-in: every operation in the same slot,
# and a virtual destructor last, where Microsoft's compiler has one entry (a deleting destructor
# taking a flag) and g++ two. clang computes Microsoft's layouts for the x86_64-pc-windows-msvc
# target from the interface headers.
#   cmake -DCLANG=<clang> -DINCLUDE=<directory holding jd/> -DPINNED=<test_vtable.cpp>
#         -DWORK=<scratch directory> -P check_vtable_msvc.cmake
#
# Run as a script only: the test lists of this directory are all included into the build, and
# there this file has nothing to declare.
if(NOT CMAKE_SCRIPT_MODE_FILE)
    return()
endif()
cmake_minimum_required(VERSION 3.25)
foreach(var CLANG INCLUDE PINNED WORK)
    if(NOT ${var})
        message(FATAL_ERROR "check_vtable_msvc: ${var} is not set")
    endif()
endforeach()

# The pinned table: SLOT(class, operation, result, (arguments), slot) entries, and for each
# interface the slot of a function appended after it, which tells whether g++ put the
# destructor's two entries in between.
file(READ "${PINNED}" pinned_text)
string(REGEX MATCHALL
       "SLOT\\([A-Za-z]+,[ \n]*[A-Za-z0-9_]+,[ \n]*[^(,]*,[ \n]*\\([^)]*\\),[ \n]*[0-9]+\\)"
       pinned_entries "${pinned_text}")
if(NOT pinned_entries)
    message(FATAL_ERROR "check_vtable_msvc: no SLOT entries in ${PINNED}")
endif()
set(classes "")
set(pointers "")
set(index 0)
foreach(entry IN LISTS pinned_entries)
    string(REGEX MATCH
           "SLOT\\(([A-Za-z]+),[ \n]*([A-Za-z0-9_]+),[ \n]*([^(,]*),[ \n]*(\\([^)]*\\)),[ \n]*([0-9]+)\\)"
           ignored "${entry}")
    set(class "${CMAKE_MATCH_1}")
    set(op "${CMAKE_MATCH_2}")
    set(slot "${CMAKE_MATCH_5}")
    string(REPLACE "\n" " " args "${CMAKE_MATCH_4}")
    list(APPEND classes ${class})
    list(APPEND pinned_${class} ${op})
    set(pinned_${class}_${op} ${slot})
    if(NOT DEFINED max_${class} OR slot GREATER max_${class})
        set(max_${class} ${slot})
    endif()
    # Taking each operation's address makes clang compute the vtable it lives in.
    string(APPEND pointers "${CMAKE_MATCH_3} (${class}::*pinned${index})${args} = &${class}::${op};\n")
    math(EXPR index "${index} + 1")
endforeach()
list(REMOVE_DUPLICATES classes)

string(REGEX MATCHALL "struct After[A-Za-z]+ : jd::[A-Za-z]+" afters "${pinned_text}")
foreach(after IN LISTS afters)
    string(REGEX MATCH "struct (After[A-Za-z]+) : jd::([A-Za-z]+)" ignored "${after}")
    set(class_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
string(REGEX MATCHALL "slotOf\\(&After[A-Za-z]+::appended\\), [0-9]+\\)" appended "${pinned_text}")
foreach(entry IN LISTS appended)
    string(REGEX MATCH "slotOf\\(&(After[A-Za-z]+)::appended\\), ([0-9]+)\\)" ignored "${entry}")
    set(class ${class_of_${CMAKE_MATCH_1}})
    set(appended_${class} ${CMAKE_MATCH_2})
endforeach()

# A translation unit of the interface headers; -cc1 has no system headers, so <cstdint> is a
# stand-in that takes the fixed-width types from the compiler's predefined macros.
file(MAKE_DIRECTORY "${WORK}/stub")
file(WRITE "${WORK}/stub/cstdint"
     "typedef __INT16_TYPE__ int16_t;\ntypedef __INT32_TYPE__ int32_t;\n"
     "typedef __INT64_TYPE__ int64_t;\ntypedef __UINT16_TYPE__ uint16_t;\n"
     "typedef __UINT32_TYPE__ uint32_t;\ntypedef __UINT64_TYPE__ uint64_t;\n")
file(WRITE "${WORK}/layouts.cpp"
     "#include \"jd/HostInterfaces.h\"\n#include \"jd/IHwDev.h\"\n#include \"jd/IHwLib.h\"\n"
     "namespace jd {\n${pointers}}\n")
execute_process(COMMAND "${CLANG}" -cc1 -triple x86_64-pc-windows-msvc -fdump-vtable-layouts
                        -std=c++17 -x c++ -I "${INCLUDE}" -isystem "${WORK}/stub" -emit-llvm
                        -o "${WORK}/layouts.ll" "${WORK}/layouts.cpp"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_vtable_msvc: ${CLANG} failed (${rc}):\n${err}")
endif()

# "VFTable indices for 'jd::Class' (n entries)." followed by "  slot | declaration" lines; a
# destructor's declaration holds its '~'.
string(REPLACE "[" "<" out "${out}")
string(REPLACE "]" ">" out "${out}")
string(REPLACE ";" "," out "${out}")
string(REPLACE "\n" ";" lines "${out}")
set(current "")
set(laid_out "")
foreach(line IN LISTS lines)
    if(line MATCHES "^VFTable indices for 'jd::([A-Za-z]+)'")
        set(current ${CMAKE_MATCH_1})
        list(APPEND laid_out ${current})
    elseif(current AND line MATCHES "^ *([0-9]+) \\| (.*)$")
        set(slot ${CMAKE_MATCH_1})
        set(declaration "${CMAKE_MATCH_2}")
        if(declaration MATCHES "~")
            set(name "~")
        else()
            string(REGEX REPLACE "\\(.*" "" name "${declaration}")
            string(REGEX REPLACE ".*::" "" name "${name}")
        endif()
        list(APPEND ms_${current} ${name})
        set(ms_${current}_${slot} ${name})
        set(ms_${current}_last ${slot})
    else()
        set(current "")
    endif()
endforeach()

set(problems "")
foreach(class IN LISTS classes)
    if(NOT class IN_LIST laid_out)
        string(APPEND problems "\n  ${class}: clang dumped no layout")
        continue()
    endif()
    foreach(op IN LISTS pinned_${class})
        set(slot ${pinned_${class}_${op}})
        set(occurrences 0)
        foreach(name IN LISTS ms_${class})
            if(name STREQUAL op)
                math(EXPR occurrences "${occurrences} + 1")
            endif()
        endforeach()
        if(occurrences GREATER 1)
            string(APPEND problems "\n  ${class}::${op} is overloaded: Microsoft's compiler "
                   "puts overloads side by side, so its slots and g++'s part")
        endif()
        set(there "${ms_${class}_${slot}}")
        if(NOT there STREQUAL op)
            if(there STREQUAL "~")
                set(there "the destructor")
            endif()
            string(APPEND problems "\n  ${class}::${op}: slot ${slot} under g++, but Microsoft's "
                   "compiler has '${there}' there")
        endif()
    endforeach()
    foreach(name IN LISTS ms_${class})
        if(NOT name STREQUAL "~" AND NOT name IN_LIST pinned_${class})
            string(APPEND problems "\n  ${class}::${name} has no slot in ${PINNED}")
        endif()
    endforeach()

    # g++ gives a virtual destructor two entries after the operations, Microsoft's compiler one.
    math(EXPR without "${max_${class}} + 1")
    math(EXPR with "${max_${class}} + 3")
    if(NOT DEFINED appended_${class})
        string(APPEND problems "\n  ${class}: no appended function pins where its vtable ends")
    elseif(appended_${class} EQUAL without)
        if("~" IN_LIST ms_${class})
            string(APPEND problems "\n  ${class}: Microsoft's compiler has a destructor entry, "
                   "g++ none")
        endif()
    elseif(appended_${class} EQUAL with)
        if(NOT "${ms_${class}_${without}}" STREQUAL "~" OR NOT ms_${class}_last EQUAL without)
            string(APPEND problems "\n  ${class}: the destructor is not last, in slot "
                   "${without}, under Microsoft's compiler")
        endif()
    else()
        string(APPEND problems "\n  ${class}: the appended slot ${appended_${class}} is neither "
               "${without} nor ${with}")
    endif()
endforeach()

if(problems)
    message(FATAL_ERROR "check_vtable_msvc: the host's compiler lays the interfaces out "
            "differently:${problems}")
endif()
list(LENGTH pinned_entries count)
message(STATUS "check_vtable_msvc: ${count} operations in the same slots, destructors last")
