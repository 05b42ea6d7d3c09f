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
add_library(cos_fault SHARED cos_fault.cpp)
target_link_libraries(cos_fault PRIVATE dl)
target_compile_options(cos_fault PRIVATE -O1 -Wno-infinite-recursion)
gammawave_strict(cos_fault)

gammawave_gtest(randr_gamma_tests unit SOURCES randr_gamma_test.cpp LIBS randr_gamma)
gammawave_gtest(ramp_view_tests unit SOURCES ramp_view_test.cpp LIBS ramp_view)
gammawave_gtest(gammawave_e2e_tests e2e
  SOURCES gammawave_e2e_test.cpp LIBS x_server ramp_view DEPENDS gammawave cos_fault
  DEFINES GAMMAWAVE_BIN="$<TARGET_FILE:gammawave>" COS_FAULT_LIB="$<TARGET_FILE:cos_fault>")
gammawave_gtest(view_e2e_tests e2e
  SOURCES view_e2e_test.cpp LIBS x_server ramp_view DEPENDS gammawave-view
  DEFINES GAMMAWAVE_VIEW_BIN="$<TARGET_FILE:gammawave-view>")

# ./run as a newcomer types it on a machine with no display.
add_test(NAME run_headless COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run_headless_test.sh
         ${PROJECT_SOURCE_DIR})
set_tests_properties(run_headless PROPERTIES LABELS e2e TIMEOUT 600)

# The Windows builds under wine, when ./check has cross-built them and passes
# their paths in: GAMMAWAVE_WINDOWS_EXES="path/to/x86/gammawave.exe;...".
# One process for all cases, since they share a wine prefix and a server.
set(GAMMAWAVE_WINDOWS_EXES "" CACHE STRING "Windows builds of gammawave to run under wine")
if(GAMMAWAVE_WINDOWS_EXES)
  pkg_check_modules(XF86VM REQUIRED IMPORTED_TARGET x11 xxf86vm)
  add_executable(windows_e2e_tests windows_e2e_test.cpp vidmode_gamma.cpp)
  target_link_libraries(windows_e2e_tests PRIVATE x_server PkgConfig::XF86VM GTest::gtest
                                                  GTest::gtest_main)
  string(REPLACE ";" "|" exes "${GAMMAWAVE_WINDOWS_EXES}")
  target_compile_definitions(windows_e2e_tests PRIVATE GAMMAWAVE_WINDOWS_EXES="${exes}")
  gammawave_strict(windows_e2e_tests)
  add_test(NAME windows_e2e_tests COMMAND windows_e2e_tests)
  set_tests_properties(windows_e2e_tests PROPERTIES LABELS "e2e;windows" TIMEOUT 600)
endif()

# A test compositor of our own and a real headless sway, for the Wayland
# backend's end-to-end tests. The protocol XML and the scanner are required:
# without them there is no way to test that backend.
pkg_check_modules(WAYLAND_SERVER REQUIRED IMPORTED_TARGET wayland-server)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
find_program(WAYLAND_SCANNER wayland-scanner)
if(NOT WAYLAND_SCANNER)
  message(FATAL_ERROR "wayland-scanner not found: install libwayland-bin")
endif()
# Debian ships the wlr protocols only inside a Rust crate whose directory
# carries its version; the newest one found wins.
if(NOT WLR_GAMMA_CONTROL_XML)
  file(GLOB gamma_xml_found
       /usr/share/cargo/registry/wayland-protocols-*/wlr-protocols/unstable/wlr-gamma-control-unstable-v1.xml)
  if(gamma_xml_found)
    list(SORT gamma_xml_found COMPARE NATURAL ORDER DESCENDING)
    list(GET gamma_xml_found 0 gamma_xml_newest)
    set(WLR_GAMMA_CONTROL_XML "${gamma_xml_newest}" CACHE FILEPATH
        "wlr-gamma-control-unstable-v1.xml" FORCE)
  endif()
endif()
if(NOT EXISTS "${WLR_GAMMA_CONTROL_XML}")
  message(FATAL_ERROR "wlr-gamma-control-unstable-v1.xml not found: install "
                      "librust-wayland-protocols-dev or set WLR_GAMMA_CONTROL_XML")
endif()

set(protocol_dir ${CMAKE_CURRENT_BINARY_DIR}/protocol)
set(protocol_outputs ${protocol_dir}/wlr-gamma-control-unstable-v1-server-protocol.h
                     ${protocol_dir}/wlr-gamma-control-unstable-v1-client-protocol.h
                     ${protocol_dir}/wlr-gamma-control-unstable-v1-protocol.c)
add_custom_command(
  OUTPUT ${protocol_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${protocol_dir}
  COMMAND ${WAYLAND_SCANNER} server-header ${WLR_GAMMA_CONTROL_XML}
          ${protocol_dir}/wlr-gamma-control-unstable-v1-server-protocol.h
  COMMAND ${WAYLAND_SCANNER} client-header ${WLR_GAMMA_CONTROL_XML}
          ${protocol_dir}/wlr-gamma-control-unstable-v1-client-protocol.h
  COMMAND ${WAYLAND_SCANNER} private-code ${WLR_GAMMA_CONTROL_XML}
          ${protocol_dir}/wlr-gamma-control-unstable-v1-protocol.c
  DEPENDS ${WLR_GAMMA_CONTROL_XML}
  COMMENT "Generating the gamma-control protocol code")
# The scanner writes C; the interface tables it defines serve both sides.
enable_language(C)
add_library(gamma_control_protocol STATIC ${protocol_outputs})
target_include_directories(gamma_control_protocol PUBLIC ${protocol_dir})
# Needs only wayland-util.h, which both libraries' flags name.
target_link_libraries(gamma_control_protocol PRIVATE PkgConfig::WAYLAND_CLIENT)

add_executable(gamma_compositor gamma_compositor.cpp)
target_link_libraries(gamma_compositor PRIVATE gamma_control_protocol PkgConfig::WAYLAND_SERVER)
gammawave_strict(gamma_compositor)

# A minimal client of the protocol, for tests that talk to a compositor themselves.
add_library(gamma_client STATIC gamma_client.cpp)
target_include_directories(gamma_client PUBLIC .)
target_link_libraries(gamma_client PUBLIC gamma_control_protocol PkgConfig::WAYLAND_CLIENT)
gammawave_strict(gamma_client)

# Starts the test compositor and headless sway for the tests.
add_library(wayland_server STATIC wayland_server.cpp)
target_include_directories(wayland_server PUBLIC .)
target_link_libraries(wayland_server PUBLIC x_server)
target_compile_definitions(wayland_server PRIVATE
  GAMMA_COMPOSITOR_BIN="$<TARGET_FILE:gamma_compositor>")
add_dependencies(wayland_server gamma_compositor)
gammawave_strict(wayland_server)

gammawave_gtest(wayland_harness_tests e2e
  SOURCES wayland_harness_test.cpp LIBS wayland_server gamma_client)
