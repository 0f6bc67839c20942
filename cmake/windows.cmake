# What makes the exe fit for a bare Windows PC: no MinGW runtime DLLs to ship
# and a manifest that asks for no elevation.
enable_language(RC)

set(manifest "${CMAKE_BINARY_DIR}/scale-probe.manifest")
configure_file(src/windows/scale-probe.manifest "${manifest}" @ONLY)
configure_file(src/windows/scale-probe.rc.in "${CMAKE_BINARY_DIR}/scale-probe.rc" @ONLY)
target_sources(scale-probe PRIVATE "${CMAKE_BINARY_DIR}/scale-probe.rc")
set_source_files_properties("${CMAKE_BINARY_DIR}/scale-probe.rc" PROPERTIES
  OBJECT_DEPENDS "${manifest}")

# libgcc, libstdc++ and winpthread inside the exe
target_link_options(scale-probe PRIVATE -static)
target_link_options(hidapi_winapi PRIVATE -static-libgcc)
scale_probe_harden(hidapi_winapi)
