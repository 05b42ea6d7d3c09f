# The hardening Debian builds its own packages with: stack protector,
# fortified glibc calls, control-flow protection, and on ELF a PIE linked
# with full RELRO. The sanitizer build goes without: ASan intercepts the calls
# that fortify would replace, and checks the stack itself.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)
check_pie_supported()
check_cxx_compiler_flag(-fcf-protection gammawave_have_cf_protection)

function(gammawave_harden target)
  if(GAMMAWAVE_SANITIZE)
    return()
  endif()
  # Fortify needs the optimiser; -U first so a toolchain's own default level
  # is replaced rather than redefined.
  target_compile_options(${target} PRIVATE -fstack-protector-strong
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
    $<$<BOOL:${gammawave_have_cf_protection}>:-fcf-protection>)
  if(WIN32)
    # mingw-w64 takes both checks from libssp, which the driver links only
    # when it sees the flag at link time too.
    target_link_options(${target} PRIVATE -fstack-protector-strong)
  else()
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
  endif()
endfunction()
