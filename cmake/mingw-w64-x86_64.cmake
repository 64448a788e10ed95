# Cross build for Windows x64 with Debian's MinGW-w64 (posix thread model); the test programs run
# under Wine through the cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine's binary lies outside PATH (Debian puts it in /usr/lib/wine); ask dpkg where it is.
if(NOT HVSRC_WINE)
    execute_process(COMMAND sh -c "dpkg -L wine64 2>/dev/null | grep -E '/wine64$' | head -n 1"
                    OUTPUT_VARIABLE HVSRC_WINE OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT HVSRC_WINE)
        set(HVSRC_WINE /usr/lib/wine/wine64)
    endif()
    set(HVSRC_WINE ${HVSRC_WINE} CACHE FILEPATH "Wine loader used to run the Windows tests")
endif()
if(NOT HVSRC_WINEPREFIX)
    set(HVSRC_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the tests")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${HVSRC_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${HVSRC_WINE})
