# The Windows build's own tests, run under Wine (ctest's emulator, set up by tools/wine-env).

# zentrel-cli.exe in batch mode: the Linux executable's checks, through Wine.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    add_test(NAME zentrel_cli_batch COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/cli/batch_test.py
                                            $<TARGET_FILE:zentrel-cli>)
    set_tests_properties(zentrel_cli_batch PROPERTIES TIMEOUT 300
                                                      ENVIRONMENT "ZENTREL_EMULATOR=wine;ZENTREL_BATCH_PART=main")
endif()

# The real window, in process: the program on the window system, driven from a second thread.
set(ZT_ARTIFACT_DIR ${CMAKE_BINARY_DIR}/artifacts)
file(MAKE_DIRECTORY ${ZT_ARTIFACT_DIR})
add_executable(window_test windows/window_test.cpp ${ZT_RESOURCE_SCRIPT})
target_link_libraries(window_test PRIVATE zt_ui_win32 zt_core GTest::gtest GTest::gtest_main)
target_compile_definitions(window_test PRIVATE ZENTREL_ARTIFACT_DIR="Z:${ZT_ARTIFACT_DIR}")
gtest_discover_tests(window_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)

# The serial backend against a fake of the system calls it makes.
zt_test(win32_serial_test windows/win32_serial_test.cpp)

# A Wine COM port linked to a pty of the plug (built by the native dev preset; make test-windows does).
set(ZT_NATIVE_PLUG ${CMAKE_SOURCE_DIR}/build/dev/tools/plug/zentrel-plug)
add_test(NAME wine_com_smoke COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/com_smoke.sh ${ZT_NATIVE_PLUG}
                                     $<TARGET_FILE:zentrel-cli> $<TARGET_FILE:zentrel-probe>)
set_tests_properties(wine_com_smoke PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)

# The installer in the prefix: silent install, the installed console program, PATH on request, uninstall.
if(ZT_SETUP)
    add_test(NAME wine_installer COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/installer_test.sh ${ZT_SETUP}
                                         ${CMAKE_BINARY_DIR}/setup-files ${PROJECT_VERSION})
    set_tests_properties(wine_installer PROPERTIES TIMEOUT 240 RUN_SERIAL TRUE)
endif()
