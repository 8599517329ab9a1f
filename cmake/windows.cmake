# The Windows programs (cross-built, see cmake/mingw-w64.cmake).

# The command line and batch mode, shared with the Linux entry.
add_library(zt_cli STATIC src/platform/ui/cli/cli.cpp)
target_include_directories(zt_cli PRIVATE ${CMAKE_BINARY_DIR}/cli11)
target_link_libraries(zt_cli PUBLIC zt_core)

# zentrel-cli.exe: the console program with the Linux command line.
add_executable(zentrel-cli src/platform/ui/cli/main_windows.cpp)
target_link_libraries(zentrel-cli PRIVATE zt_cli)

# The resources: the script and the icon are written from the program's resource tables (tools/rcgen,
# built with the build host's compiler), then compiled by windres into each program that shows them.
find_program(ZT_HOST_CXX NAMES g++ c++ REQUIRED)
set(zt_rc_dir ${CMAKE_BINARY_DIR}/res)
add_custom_command(
    OUTPUT ${zt_rc_dir}/zentrel.rc ${zt_rc_dir}/loopicon.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zt_rc_dir}
    COMMAND ${ZT_HOST_CXX} -std=c++20 -I${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools/rcgen/rcgen.cpp
            ${CMAKE_SOURCE_DIR}/src/res/resources.cpp -o ${zt_rc_dir}/rcgen
    COMMAND ${zt_rc_dir}/rcgen ${zt_rc_dir}/zentrel.rc ${zt_rc_dir}/loopicon.ico
    DEPENDS tools/rcgen/rcgen.cpp src/res/resources.cpp src/res/resources.h
    COMMENT "Resource script from the resource tables")
set(ZT_RESOURCE_SCRIPT ${zt_rc_dir}/zentrel.rc)

# Every program's manifest (common controls 6, the supported systems, per-monitor DPI awareness, run as
# the invoker), and the icon for the two console programs (the window's comes with its resources).
set(zt_manifest ${CMAKE_SOURCE_DIR}/src/platform/ui/win32/zentrel.manifest)
file(WRITE ${CMAKE_BINARY_DIR}/manifest.rc "1 24 \"${zt_manifest}\"\n")
file(WRITE ${CMAKE_BINARY_DIR}/console.rc
     "#include \"manifest.rc\"\n100 ICON \"${zt_rc_dir}/loopicon.ico\"\n")
set_source_files_properties(${CMAKE_BINARY_DIR}/manifest.rc ${CMAKE_BINARY_DIR}/console.rc PROPERTIES
                            OBJECT_DEPENDS "${zt_manifest};${zt_rc_dir}/loopicon.ico")
target_sources(zentrel-cli PRIVATE ${CMAKE_BINARY_DIR}/console.rc)

# The user interface on the window system; linked as objects so that they, and not the headless
# model inside zt_core's dependencies, serve the ui:: calls.
add_library(zt_ui_win32 OBJECT src/platform/ui/win32/ui_win32.cpp)
target_include_directories(zt_ui_win32 PUBLIC src)
target_link_libraries(zt_ui_win32 PUBLIC zt_kernel)

# zentrel.exe: the window program.
add_executable(zentrel WIN32 src/platform/ui/win32/winmain.cpp ${ZT_RESOURCE_SCRIPT} ${CMAKE_BINARY_DIR}/manifest.rc)
target_link_libraries(zentrel PRIVATE zt_ui_win32 zt_core)

# The zip a Windows user downloads (make windows builds it): the programs, a short readme and the
# licence, as text with the line ends Notepad shows.
install(TARGETS zentrel zentrel-cli RUNTIME DESTINATION .)
configure_file(doc/windows/README.txt ${CMAKE_BINARY_DIR}/doc/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${CMAKE_BINARY_DIR}/doc/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/doc/README.txt ${CMAKE_BINARY_DIR}/doc/LICENSE.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zentrel)
set(CPACK_PACKAGE_VENDOR "Zentrel Labs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zentrel-${PROJECT_VERSION}-windows-x64)
set(CPACK_STRIP_FILES ON)
include(CPack)

# zentrel-probe.exe: qualifies a real COM port and its driver with a loopback plug.
add_executable(zentrel-probe tools/probe/probe.cpp ${CMAKE_BINARY_DIR}/console.rc)
install(TARGETS zentrel-probe RUNTIME DESTINATION .)

# The installer (tools/installer/zentrel.nsi), from the same files as the zip: installed, stripped, into
# setup-files/ and packed by makensis beside the zip.
find_program(ZT_MAKENSIS makensis)
if(ZT_MAKENSIS)
    set(ZT_SETUP ${CMAKE_BINARY_DIR}/zentrel-${PROJECT_VERSION}-windows-x64-setup.exe)
    set(zt_setup_files ${CMAKE_BINARY_DIR}/setup-files)
    add_custom_command(OUTPUT ${ZT_SETUP}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${zt_setup_files}
        COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${zt_setup_files} --strip >/dev/null
        COMMAND ${ZT_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
                -DVIVERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0 -DFILES=${zt_setup_files}
                -DICON=${zt_rc_dir}/loopicon.ico -DOUTFILE=${ZT_SETUP} ${CMAKE_SOURCE_DIR}/tools/installer/zentrel.nsi
        DEPENDS zentrel zentrel-cli zentrel-probe tools/installer/zentrel.nsi ${zt_rc_dir}/loopicon.ico
                ${CMAKE_BINARY_DIR}/doc/README.txt ${CMAKE_BINARY_DIR}/doc/LICENSE.txt
        COMMENT "Installer ${ZT_SETUP}")
    add_custom_target(zentrel-setup ALL DEPENDS ${ZT_SETUP})
endif()
