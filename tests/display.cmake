# End-to-end tests: the real gammawave on real X servers that the tests start.

add_library(cos_fault SHARED cos_fault.cpp)
target_link_libraries(cos_fault PRIVATE dl)
# It recurses without end on purpose.
target_compile_options(cos_fault PRIVATE -O1 -Wno-infinite-recursion)
gammawave_strict(cos_fault)

add_executable(randr_gamma_tests randr_gamma_test.cpp)
target_link_libraries(randr_gamma_tests PRIVATE randr_gamma GTest::gtest GTest::gtest_main)
gammawave_strict(randr_gamma_tests)
gtest_discover_tests(randr_gamma_tests PROPERTIES LABELS unit)

add_executable(gammawave_e2e_tests gammawave_e2e_test.cpp)
target_link_libraries(gammawave_e2e_tests PRIVATE x_server wave GTest::gtest GTest::gtest_main)
target_compile_definitions(gammawave_e2e_tests PRIVATE
  GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>"
  COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")
add_dependencies(gammawave_e2e_tests gammawave cos_fault)
gammawave_strict(gammawave_e2e_tests)
gtest_discover_tests(gammawave_e2e_tests PROPERTIES LABELS e2e DISCOVERY_TIMEOUT 30)

add_executable(ramp_view_tests ramp_view_test.cpp)
target_link_libraries(ramp_view_tests PRIVATE ramp_view GTest::gtest GTest::gtest_main)
gammawave_strict(ramp_view_tests)
gtest_discover_tests(ramp_view_tests PROPERTIES LABELS unit)

add_executable(view_e2e_tests view_e2e_test.cpp)
target_link_libraries(view_e2e_tests PRIVATE x_server ramp_view GTest::gtest GTest::gtest_main)
target_compile_definitions(view_e2e_tests PRIVATE GAMMAWAVE_VIEW_BIN="$<TARGET_FILE:gammawave-view>")
add_dependencies(view_e2e_tests gammawave-view)
gammawave_strict(view_e2e_tests)
gtest_discover_tests(view_e2e_tests PROPERTIES LABELS e2e DISCOVERY_TIMEOUT 30)

# ./run as a newcomer types it on a machine with no display.
add_test(NAME run_headless COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run_headless_test.sh
         ${PROJECT_SOURCE_DIR})
set_tests_properties(run_headless PROPERTIES LABELS e2e TIMEOUT 600)

# The Windows builds under wine, when ./check has cross-built them and passes
# their paths in: GAMMAWAVE_WINDOWS_EXES="path/to/x86/gammawave.exe;...".
set(GAMMAWAVE_WINDOWS_EXES "" CACHE STRING "Windows builds of gammawave to run under wine")
if(GAMMAWAVE_WINDOWS_EXES)
  add_executable(windows_e2e_tests windows_e2e_test.cpp vidmode_gamma.cpp)
  pkg_check_modules(XF86VM REQUIRED IMPORTED_TARGET x11 xxf86vm)
  target_link_libraries(windows_e2e_tests PRIVATE x_server PkgConfig::XF86VM GTest::gtest
                                                  GTest::gtest_main)
  string(REPLACE ";" "|" exes "${GAMMAWAVE_WINDOWS_EXES}")
  target_compile_definitions(windows_e2e_tests PRIVATE GAMMAWAVE_WINDOWS_EXES="${exes}")
  gammawave_strict(windows_e2e_tests)
  add_test(NAME windows_e2e_tests COMMAND windows_e2e_tests)
  set_tests_properties(windows_e2e_tests PROPERTIES LABELS "e2e;windows" TIMEOUT 600)
endif()
