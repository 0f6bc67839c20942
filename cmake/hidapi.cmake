# Provides the target scale_probe_hidapi: the hidapi the probe links against,
# always as a shared library so that a user can drop in another build.
if(WIN32)
  # The Windows backend, built from upstream's release that scripts/setup
  # unpacks (hidapi_VERSION, after this, names it), and from no other tree:
  # setup leaves a copy of the pin in the tree as its record.
  set(HIDAPI_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/hidapi" CACHE PATH
      "hidapi source tree for the Windows DLL")
  file(READ "${CMAKE_SOURCE_DIR}/cmake/hidapi.sha256" pin)
  set(record "")
  if(EXISTS "${HIDAPI_SOURCE_DIR}/.verified")
    file(READ "${HIDAPI_SOURCE_DIR}/.verified" record)
  endif()
  if(NOT record STREQUAL pin)
    message(FATAL_ERROR "${HIDAPI_SOURCE_DIR} is not the hidapi source that scripts/setup "
                        "unpacked from the pinned tarball: run scripts/setup --zip")
  endif()
  set(BUILD_SHARED_LIBS ON)
  set(HIDAPI_INSTALL_TARGETS OFF)
  add_subdirectory("${HIDAPI_SOURCE_DIR}" hidapi EXCLUDE_FROM_ALL)
  # hidapi's own Windows releases call the DLL hidapi.dll; keep that name so
  # that an official build can replace ours.
  # Its header is not shipped: the zip is for users, not for developers.
  # Upstream's code is not ours to hold to our warnings: a newer compiler's
  # new warning there must not stop the build.
  set_target_properties(hidapi_winapi PROPERTIES
    PUBLIC_HEADER ""
    PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}"
    COMPILE_WARNING_AS_ERROR OFF)
  add_library(scale_probe_hidapi INTERFACE)
  target_link_libraries(scale_probe_hidapi INTERFACE hidapi::winapi)
  # Bring the DLL's include directory in as a system one: its header is not ours.
  target_include_directories(scale_probe_hidapi SYSTEM INTERFACE "${HIDAPI_SOURCE_DIR}")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HIDAPI_HIDRAW REQUIRED IMPORTED_TARGET hidapi-hidraw)
  add_library(scale_probe_hidapi INTERFACE)
  target_link_libraries(scale_probe_hidapi INTERFACE PkgConfig::HIDAPI_HIDRAW)
endif()
