# The probe is plain procedural C++ that needs nothing of the C++ runtime
# library (no exceptions, no RTTI, no heap strings or streams). Building it
# so keeps the runtime out: starting the probe then loads only the C library
# and hidapi, which is most of what a run costs besides its two waits.
function(scale_probe_lean target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  if(NOT WIN32)
    # Libraries the driver adds by habit (libstdc++, libm, libgcc_s) stay
    # out of the binary's NEEDED list unless something really uses them.
    target_link_options(${target} PRIVATE -Wl,--as-needed)
  endif()
endfunction()
