# What `cmake --install` puts where, and the packages CPack makes of it: one folder with the
# plug-in and hvsrc-host side by side (hvsrc-host finds the plug-in beside itself), the stand-in
# driver in sim/ where no library search looks for the vendor's driver, the Python module in
# python/, the README, the docs, example scenarios and an example script.
#
#   hvsrc-<version>-win64.zip     from the windows preset
#   hvsrc-<version>-Linux.tar.gz  from the linux preset

# Installing and packaging build nothing: `make package` builds what they take first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Installed binaries are stripped; the build tree keeps the ones with debug information.
install(CODE "set(CMAKE_INSTALL_DO_STRIP 1)")

# Import libraries are of no use to anyone loading the plug-in at run time: never installed.
install(TARGETS hvsrc hvsrc-host
        RUNTIME DESTINATION .
        LIBRARY DESTINATION .
        ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
install(TARGETS ftd2xx
        RUNTIME DESTINATION sim
        LIBRARY DESTINATION sim
        ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
file(GLOB HVSRC_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
if(HVSRC_DOCS)
    install(FILES ${HVSRC_DOCS} DESTINATION docs)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/examples/lab.scn ${CMAKE_SOURCE_DIR}/examples/sensor.scn
              ${CMAKE_SOURCE_DIR}/examples/iv_scan.py
        DESTINATION examples)
# The Python module beside hvsrc-host, which it starts from there (its tests stay behind).
install(FILES ${CMAKE_SOURCE_DIR}/python/pyproject.toml ${CMAKE_SOURCE_DIR}/python/README.md
        DESTINATION python)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/hvsrc DESTINATION python
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

set(CPACK_PACKAGE_NAME hvsrc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "High-voltage source plug-in for FTDI-attached sources")
if(WIN32)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_SYSTEM_NAME Linux)
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
