# Picks the one display layer for the target platform. Each layer implements
# display/display.h; the main routine is shared.
if(WIN32)
  add_executable(gammawave display/main.cpp display/display-win32.cpp)
  target_link_libraries(gammawave PRIVATE wave gdi32 user32)
  target_link_options(gammawave PRIVATE -static)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-randr)

  # Reading and loading CRTC gamma, shared by the program, its viewer and the tests.
  add_library(randr_gamma STATIC display/randr_gamma.cpp)
  target_include_directories(randr_gamma PUBLIC display)
  target_link_libraries(randr_gamma PUBLIC PkgConfig::XCB)
  gammawave_strict(randr_gamma)

  add_executable(gammawave display/main.cpp display/display-x11.cpp)
  target_link_libraries(gammawave PRIVATE wave randr_gamma)
  install(TARGETS gammawave RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
target_include_directories(gammawave PRIVATE display)
gammawave_strict(gammawave)
