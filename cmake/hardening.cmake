# Hardening for the probe: it prints text that a USB device chose, so make
# the usual memory-safety faults hard to exploit.
function(scale_probe_harden target)
  if(WIN32)
    # ASLR and DEP; the rest of the Windows hardening is the loader's.
    target_link_options(${target} PRIVATE -Wl,--dynamicbase -Wl,--nxcompat)
    return()
  endif()
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE -fstack-protector-strong)
  target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
  target_link_options(${target} PRIVATE
    -pie -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  # Fortified libc calls need optimisation, and the sanitizers bring their
  # own checks in their place.
  if(NOT SCALE_PROBE_SANITIZE)
    target_compile_options(${target} PRIVATE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  endif()
endfunction()
