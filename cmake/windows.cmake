# The Windows side: libraries, the program and the Wine-run test suites.
enable_language(RC)

add_compile_options(-Wall -Wextra -Wno-unused-parameter)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Everything of the program but the cable driver binding. A program links it
# with exactly one binding: the real one (link/cable_driver_win32.cpp) or the
# simulated one (sim/).
add_library(tavdesk_core STATIC
  ${TAVDESK_PORTABLE_SOURCES}
  link/link_device.cpp
  link/packet_transport.cpp
  log/log_queue.cpp
  log/shared_lock.cpp
  session/target_session.cpp
  session/console_files.cpp
  session/stall_watchdog.cpp
  session/host_file_service.cpp
  session/path_map_win32.cpp
  config/settings.cpp
  session/device_record.cpp
  session/link_worker.cpp
  ui/log_view.cpp
  ui/log_find.cpp
  ui/log_menu.cpp
  ui/device_page.cpp
  ui/device_list.cpp
)
target_include_directories(tavdesk_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavdesk_core PUBLIC setupapi comdlg32 shell32)

# Object libraries, so that the binding is always linked in whole, whatever
# order the linker meets the libraries in.
add_library(tavdesk_driver_win32 OBJECT link/cable_driver_win32.cpp)
target_link_libraries(tavdesk_driver_win32 PUBLIC tavdesk_core)

add_library(tavdesk_sim OBJECT
  sim/cable_model.cpp
  sim/sim_driver.cpp
  sim/console_emulator.cpp
)
target_link_libraries(tavdesk_sim PUBLIC tavdesk_core)

# The resource script as objects: a static library would drop them. Every
# program that creates dialogs links it.
add_library(tavdesk_resources OBJECT ui/tavdesk.rc)
target_include_directories(tavdesk_resources PRIVATE ${CMAKE_SOURCE_DIR})

# One ctest entry per test program: each Wine start costs time.
function(tavdesk_wine_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

tavdesk_wine_test(cable_driver_win32_test tests/cable_driver_win32_test.cpp)
target_link_libraries(cable_driver_win32_test PRIVATE tavdesk_driver_win32)

# A real device page with its DeviceRecord, for the suites that need one.
add_library(tavdesk_test_support STATIC tests/support/test_page.cpp tests/support/console_link.cpp)
target_link_libraries(tavdesk_test_support PUBLIC tavdesk_core gtest)

tavdesk_wine_test(settings_test tests/settings_test.cpp)
target_link_libraries(settings_test PRIVATE tavdesk_sim)

tavdesk_wine_test(log_queue_test tests/log_queue_test.cpp)
target_link_libraries(log_queue_test PRIVATE tavdesk_test_support tavdesk_sim tavdesk_resources
                      tavdesk_program_probe)

# The link worker and its pages run with the real main window.
add_library(tavdesk_worker_fixture STATIC tests/support/worker_fixture.cpp)
target_link_libraries(tavdesk_worker_fixture PUBLIC tavdesk_test_support)

tavdesk_wine_test(link_test tests/link_test.cpp)
target_link_libraries(link_test PRIVATE tavdesk_test_support tavdesk_sim tavdesk_resources)

# The session: command queue, host file service and path confinement. Its
# code page 932 suite runs in a second entry, with Wine started in a ja_JP
# locale (Wine takes the ANSI code page from the Unix locale); the first
# entry leaves it out.
add_executable(session_test tests/session_test.cpp)
target_link_libraries(session_test PRIVATE gtest_main tavdesk_test_support tavdesk_sim
                      tavdesk_resources)
add_test(NAME session_test COMMAND session_test --gtest_brief=1 --gtest_filter=-CodePage932Test.*)
add_test(NAME path_map_cp932_test
         COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run-locale.sh ja_JP.UTF-8 ${CMAKE_BINARY_DIR}/locale
                 $<TARGET_FILE:session_test> --gtest_brief=1 --gtest_filter=CodePage932Test.*)
set_tests_properties(session_test path_map_cp932_test PROPERTIES TIMEOUT 300)

# The host-side benchmark: a program, not a test (make bench).
add_executable(host_file_bench EXCLUDE_FROM_ALL bench/host_file_bench.cpp)
target_link_libraries(host_file_bench PRIVATE tavdesk_core tavdesk_sim)

# The main window, its tabs and sounds. Common controls come from the system;
# winmm.dll is resolved at run time, never imported.
target_sources(tavdesk_core PRIVATE ui/main_window.cpp)
target_link_libraries(tavdesk_core PUBLIC comctl32)



# The settings page, and the simulated driver's timing and demo console.
target_sources(tavdesk_core PRIVATE ui/settings_page.cpp ui/program.cpp ui/command_line.cpp
               ui/command_hand_off.cpp)
target_link_libraries(tavdesk_core PUBLIC comctl32 comdlg32 shell32 ole32 gdi32)
target_sources(tavdesk_sim PRIVATE sim/sim_timing.cpp sim/demo_console.cpp)

# The two programs: Tavdesk.exe with the real driver binding, TavdeskSim.exe
# with the simulated driver and its demo consoles.
add_executable(Tavdesk WIN32 ui/win_main.cpp)
target_link_libraries(Tavdesk PRIVATE tavdesk_driver_win32 tavdesk_resources)

add_executable(TavdeskSim WIN32 sim/sim_program.cpp)
target_link_libraries(TavdeskSim PRIVATE tavdesk_sim tavdesk_resources)


# The whole program, watched from another process; also the demo's driver.
add_library(tavdesk_program_probe STATIC sim/program_probe.cpp)
target_include_directories(tavdesk_program_probe PUBLIC ${CMAKE_SOURCE_DIR})

tavdesk_wine_test(program_test tests/program_test.cpp)
target_link_libraries(program_test PRIVATE tavdesk_program_probe)
target_sources(program_test PRIVATE ui/command_line_format.cpp)
# Each run also plants DLLs beside the program, which must never load.
add_dependencies(program_test Tavdesk TavdeskSim planted_dll)

add_executable(tavdesk_demo_driver tools/demo_driver.cpp)
target_link_libraries(tavdesk_demo_driver PRIVATE tavdesk_program_probe)

# The console cannot plant code: both programs import only Known DLLs (a
# check that names any other), and DLLs planted beside them are not loaded.
add_test(NAME program_imports
         COMMAND ${CMAKE_SOURCE_DIR}/tools/check-imports.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:Tavdesk> $<TARGET_FILE:TavdeskSim>)

# Includes run one way: link/ <- session/ <- ui/, log/ and config/ below all.
add_test(NAME layers COMMAND ${CMAKE_SOURCE_DIR}/tools/check-layers.sh ${CMAKE_SOURCE_DIR})

add_library(planted_dll SHARED tests/support/planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "")
target_link_options(planted_dll PRIVATE -static)


# The Wine wrapper's own test: crashes fail every time, foreign folders are
# left alone. The crashing program is run by the test, never on its own.
add_executable(wine_run_crash_test tests/harness/crash_test.cpp)
target_link_libraries(wine_run_crash_test PRIVATE gtest_main)
add_test(NAME wine_run_test
         COMMAND ${CMAKE_SOURCE_DIR}/tests/harness/wine_run_test.sh $<TARGET_FILE:wine_run_crash_test>)
set_tests_properties(wine_run_test PROPERTIES TIMEOUT 300)

# Virtual cables: the loopback listener through which console programs
# outside the process play the console's end of simulated cables.
add_library(tavdesk_virtual_cable OBJECT sim/virtual_cable.cpp)
target_link_libraries(tavdesk_virtual_cable PUBLIC tavdesk_core ws2_32)

tavdesk_wine_test(virtual_cable_test tests/virtual_cable_test.cpp sim/socket_console_end.cpp)
target_link_libraries(virtual_cable_test PRIVATE tavdesk_virtual_cable tavdesk_sim
                      tavdesk_test_support tavdesk_resources tavdesk_program_probe)
target_link_libraries(TavdeskSim PRIVATE tavdesk_virtual_cable)

# End to end: TavdeskSim.exe as a process, the Python console client on
# virtual cables, and a driver that works the window from another process.
add_executable(e2e_driver tests/e2e/program_driver.cpp)
target_link_libraries(e2e_driver PRIVATE tavdesk_program_probe)
find_program(PYTHON3 python3 REQUIRED)
add_test(NAME e2e_tavdesk_sim
         COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/tests/e2e/test_tavdesk_sim.py --build ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_tavdesk_sim PROPERTIES TIMEOUT 600)
add_dependencies(e2e_driver TavdeskSim)

# Benchmarks (make bench) and fault trials (make trials): programs, not tests.
target_link_libraries(host_file_bench PRIVATE psapi)
add_executable(minimal_dialog WIN32 bench/minimal_dialog.cpp)
add_executable(startup_bench bench/startup_bench.cpp)
target_link_libraries(startup_bench PRIVATE tavdesk_program_probe)
add_dependencies(startup_bench Tavdesk TavdeskSim minimal_dialog)
# The whole program under traffic, with this process as the consoles.
add_executable(whole_program_bench bench/whole_program_bench.cpp sim/console_emulator.cpp
               sim/socket_console_end.cpp)
target_link_libraries(whole_program_bench PRIVATE tavdesk_program_probe ws2_32 psapi)
add_dependencies(whole_program_bench TavdeskSim)
set_target_properties(host_file_bench minimal_dialog startup_bench whole_program_bench
                      PROPERTIES EXCLUDE_FROM_ALL TRUE)
add_executable(ini_damage_trial EXCLUDE_FROM_ALL trials/ini_damage_trial.cpp)
target_link_libraries(ini_damage_trial PRIVATE tavdesk_program_probe)
add_dependencies(ini_damage_trial TavdeskSim)
add_executable(driver_fault_trial EXCLUDE_FROM_ALL trials/driver_fault_trial.cpp)
target_link_libraries(driver_fault_trial PRIVATE gtest_main tavdesk_worker_fixture tavdesk_sim psapi
                      tavdesk_resources)

# The main window, start-up and shutdown, and the link worker with the device
# and Settings pages under it, in one program; tests/support/dialog_driver.h
# answers their common dialogs, finding windows as the probe does.
tavdesk_wine_test(worker_pages_test tests/worker_pages_test.cpp)
target_link_libraries(worker_pages_test PRIVATE tavdesk_worker_fixture tavdesk_program_probe
                      tavdesk_sim tavdesk_resources)

# The stall, transfer, replug and isolation trials are built with everything: a small
# run of each is a ctest entry (seconds), and make trials runs them in full.
foreach(trial stall_trial transfer_trial replug_trial isolation_trial)
  add_executable(${trial} trials/${trial}.cpp)
  target_link_libraries(${trial} PRIVATE gtest tavdesk_worker_fixture tavdesk_sim
                        tavdesk_resources psapi)
endforeach()
add_test(NAME stall_trial_short COMMAND stall_trial --gtest_brief=1 --stalls=2 --gap-limit=0)
add_test(NAME transfer_trial_short COMMAND transfer_trial --gtest_brief=1 --mib=8)
add_test(NAME replug_trial_short COMMAND replug_trial --gtest_brief=1 --cycles=8)
add_test(NAME isolation_trial_short COMMAND isolation_trial --gtest_brief=1 --rounds=2)
set_tests_properties(stall_trial_short transfer_trial_short replug_trial_short isolation_trial_short
                     PROPERTIES TIMEOUT 120)
