# What `cmake --install` puts in place beside the programs, and the Debian
# package CPack builds from it: `cpack -G DEB` in the build directory.

# The man pages carry the version project() names; Debian ships them
# compressed.
foreach(page gammawave gammawave-view)
  configure_file(docs/${page}.1.in man/${page}.1 @ONLY)
  add_custom_command(OUTPUT man/${page}.1.gz
    COMMAND gzip -9nkf ${page}.1
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man)
  list(APPEND man_pages ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "The gammawave developers")
set(CPACK_PACKAGE_VENDOR "The gammawave developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "shifts the colours of an X display through its gamma ramps")
# CPack indents the lines and marks the blank one as Debian wants.
string(STRIP [=[
gammawave rewrites the gamma ramps of every CRTC of an X display about a
hundred times a second, so the colours of the whole screen keep shifting:
each of red, green and blue follows a clamped cosine hump that drifts along
the input levels and reverses after a random run. On SIGINT, SIGTERM or
SIGSEGV it puts back exactly the ramps it found.

gammawave-view shows the ramps a display's CRTCs hold: live in a terminal,
as plain text, as a timeline picture or as a raw dump.
]=] CPACK_PACKAGE_DESCRIPTION)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xrandr resets a screen left tinted by a signal gammawave cannot handle.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS x11-xserver-utils)
# Debian strips what it ships; the hardening survives stripping.
set(CPACK_STRIP_FILES ON)
include(CPack)
