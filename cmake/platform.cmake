# Picks the one display layer for the target platform. Each layer implements
# display/display.h; the main routine is shared.
if(WIN32)
  add_executable(gammawave display/main.cpp display/windows/windows-display.cpp
                           display/windows/windows-guard.cpp)
  target_link_libraries(gammawave PRIVATE wave display_list gdi32 user32 winmm synchronization)
  target_link_options(gammawave PRIVATE -static)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-randr)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  include(cmake/wayland-protocol.cmake)

  # Reading and loading CRTC gamma, shared by the program, its viewer and the tests.
  add_library(randr_gamma STATIC display/x11/x11-gamma.cpp)
  target_include_directories(randr_gamma PUBLIC display)
  target_link_libraries(randr_gamma PUBLIC PkgConfig::XCB)
  gammawave_strict(randr_gamma)

  # The platform layer as a library, so the load benchmarks drive the very
  # code the program runs.
  add_library(display_layer STATIC display/linux/linux-display.cpp
              display/linux/linux-signals.cpp display/linux/linux-guard.cpp
              display/x11/x11-backend.cpp display/x11/x11-claim.cpp display/x11/x11-guard.cpp
              display/x11/x11-wire.cpp)
  target_include_directories(display_layer PUBLIC display)
  target_link_libraries(display_layer PUBLIC wave randr_gamma ${CMAKE_DL_LIBS})
  gammawave_strict(display_layer)

  # The Wayland and the Mutter backends, each with the libraries only it
  # needs (libwayland-client and libffi; libsystemd and the dozen it brings,
  # each with pages to map at start and finalisers to run at exit), are
  # modules that linux-display.cpp loads only when it tries that backend.
  # They take the shared machinery (the guard, the signals) from the
  # program, which exports it.
  set_target_properties(gamma_control_protocol PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_library(gammawave-wayland MODULE display/wayland/wayland-backend.cpp)
  target_link_libraries(gammawave-wayland PRIVATE gamma_control_protocol PkgConfig::WAYLAND_CLIENT)
  add_library(gammawave-mutter MODULE display/mutter/mutter-backend.cpp
              display/mutter/mutter-bus.cpp display/mutter/mutter-claim.cpp
              display/mutter/mutter-crtcs.cpp display/mutter/mutter-follow.cpp
              display/mutter/mutter-restore.cpp
              display/mutter/mutter-guard.cpp)
  target_link_libraries(gammawave-mutter PRIVATE PkgConfig::SYSTEMD)
  set(backend_module_dir ${CMAKE_INSTALL_LIBDIR}/gammawave)
  foreach(module gammawave-wayland gammawave-mutter)
    set_target_properties(${module} PROPERTIES PREFIX "")
    target_include_directories(${module} PRIVATE display wave)
    gammawave_strict(${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${backend_module_dir})
  endforeach()
  # Looked for beside the program (the build tree), then where they are
  # installed, relative to the program, so that a package unpacked anywhere
  # finds them.
  file(RELATIVE_PATH backend_module_dir_from_bin ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${backend_module_dir})
  target_compile_definitions(display_layer PRIVATE
    BACKEND_MODULE_DIR_FROM_BIN="${backend_module_dir_from_bin}/")

  add_executable(gammawave display/main.cpp)
  target_link_libraries(gammawave PRIVATE display_layer)
  set_target_properties(gammawave PROPERTIES ENABLE_EXPORTS ON)
  add_dependencies(gammawave gammawave-wayland gammawave-mutter)
  install(TARGETS gammawave RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
target_include_directories(gammawave PRIVATE display)
gammawave_strict(gammawave)

if(NOT WIN32)
  find_package(PNG REQUIRED)
  # The viewer's pure parts, linked by its tests too.
  add_library(ramp_view STATIC view/ramp_view.cpp view/timeline_png.cpp)
  target_include_directories(ramp_view PUBLIC view)
  target_link_libraries(ramp_view PUBLIC randr_gamma wave PNG::PNG)
  gammawave_strict(ramp_view)

  add_executable(gammawave-view view/main.cpp)
  target_link_libraries(gammawave-view PRIVATE ramp_view)
  target_compile_definitions(gammawave-view PRIVATE GAMMAWAVE_VERSION="${PROJECT_VERSION}")
  gammawave_strict(gammawave-view)

  install(TARGETS gammawave-view RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
