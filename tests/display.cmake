# Tests of the display side: the RandR helpers and the viewer's pure parts,
# and end-to-end tests of the real programs on real X servers they start.

# A GoogleTest binary whose cases CTest runs one by one under `label`.
function(gammawave_gtest name label)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS;DEFINES;DEPENDS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ${arg_DEFINES})
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  gammawave_strict(${name})
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 30)
endfunction()

# Injects faults into gammawave from outside; it recurses without end on purpose.
add_library(cos_fault SHARED harness/cos_fault.cpp)
target_link_libraries(cos_fault PRIVATE dl)
target_compile_options(cos_fault PRIVATE -O1 -Wno-infinite-recursion)
gammawave_strict(cos_fault)

gammawave_gtest(x11_wire_tests unit SOURCES x11/x11_wire_test.cpp LIBS display_layer)
gammawave_gtest(ramp_view_tests unit SOURCES view/ramp_view_test.cpp LIBS ramp_view)
gammawave_gtest(x11_e2e_tests e2e
  SOURCES x11/x11_e2e_test.cpp x11/x11_stall_test.cpp harness/fake_x_server.cpp LIBS x_server ramp_view DEPENDS gammawave cos_fault
  DEFINES GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>" COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")
gammawave_gtest(view_e2e_tests e2e
  SOURCES view/view_e2e_test.cpp LIBS x_server ramp_view DEPENDS gammawave-view
  DEFINES GAMMAWAVE_VIEW_BIN="$<TARGET_FILE:gammawave-view>" GAMMAWAVE_VERSION="${PROJECT_VERSION}")
gammawave_gtest(package_tests e2e
  SOURCES package/package_test.cpp LIBS x_server DEPENDS gammawave gammawave-view man_pages
  DEFINES CPACK_BIN="${CMAKE_CPACK_COMMAND}" CPACK_CONFIG="${PROJECT_BINARY_DIR}/CPackConfig.cmake"
          GAMMAWAVE_VERSION="${PROJECT_VERSION}")

# The programs as built here, hardened as Debian hardens its packages. The
# sanitizer build is not, and fortify needs an optimised build.
if(NOT GAMMAWAVE_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  add_test(NAME hardening COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package/hardening_test.sh
           $<TARGET_FILE:gammawave> $<TARGET_FILE:gammawave-view>)
  set_tests_properties(hardening PROPERTIES LABELS unit)
endif()

# ./run as a newcomer types it on a machine with no display.
add_test(NAME run_headless COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package/run_headless_test.sh
         ${PROJECT_SOURCE_DIR})
set_tests_properties(run_headless PROPERTIES LABELS e2e TIMEOUT 600)

# The Windows builds under wine, when ./check has cross-built them and passes
# their paths in: GAMMAWAVE_WINDOWS_EXES="path/to/x86/gammawave.exe;...".
# One process for all cases, since they share a wine prefix and a server.
set(GAMMAWAVE_WINDOWS_EXES "" CACHE STRING "Windows builds of gammawave to run under wine")
if(GAMMAWAVE_WINDOWS_EXES)
  pkg_check_modules(XF86VM REQUIRED IMPORTED_TARGET x11 xxf86vm)
  add_executable(windows_e2e_tests windows/windows_e2e_test.cpp harness/vidmode_gamma.cpp)
  target_link_libraries(windows_e2e_tests PRIVATE x_server PkgConfig::XF86VM GTest::gtest
                                                  GTest::gtest_main)
  string(REPLACE ";" "|" exes "${GAMMAWAVE_WINDOWS_EXES}")
  target_compile_definitions(windows_e2e_tests PRIVATE GAMMAWAVE_WINDOWS_EXES="${exes}")
  gammawave_strict(windows_e2e_tests)
  add_test(NAME windows_e2e_tests COMMAND windows_e2e_tests)
  set_tests_properties(windows_e2e_tests PROPERTIES LABELS "e2e;windows" TIMEOUT 600)
endif()

gammawave_gtest(wayland_harness_tests e2e
  SOURCES wayland/wayland_harness_test.cpp LIBS wayland_server gamma_client)

gammawave_gtest(wayland_e2e_tests e2e
  SOURCES wayland/wayland_e2e_test.cpp LIBS wayland_server wave DEPENDS gammawave cos_fault
  DEFINES GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>" COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")

gammawave_gtest(mutter_e2e_tests e2e
  SOURCES mutter/mutter_e2e_test.cpp LIBS mutter_server wayland_server ramp_view DEPENDS gammawave cos_fault
  DEFINES GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>" COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")

# Mutter 48, 50 and 51 on their own test backend, in the roots
# tests/harness/mutter-roots/make-root makes (./check does, as root); the cases skip
# where a root is missing.
gammawave_gtest(mutter_backend_tests e2e
  SOURCES mutter/mutter_backend_test.cpp LIBS mutter_test_backend ramp_view DEPENDS gammawave
  DEFINES GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>" COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")
