# Provides the target scale_probe_hidapi: the hidapi the probe links against,
# always as a shared library so that a user can drop in another build.
if(WIN32)
  # The Windows backend, built from upstream's release tarball that
  # scripts/setup puts into .deps/, and from nothing else: its digest is
  # checked against the pin, then it is unpacked into the build tree, its
  # files dated now. It is unpacked again only when the digest differs from
  # the one the tree was made from, so that configuring again rebuilds
  # nothing; the digest is written last, so an interrupted unpack is redone.
  file(STRINGS "${CMAKE_SOURCE_DIR}/cmake/hidapi.sha256" pin LIMIT_COUNT 1)
  string(REGEX MATCH "^([0-9a-f]+) +(.+)$" pin "${pin}")
  set(tarball "${CMAKE_SOURCE_DIR}/.deps/${CMAKE_MATCH_2}")
  if(EXISTS "${tarball}")
    file(SHA256 "${tarball}" digest)
  endif()
  if(NOT digest STREQUAL CMAKE_MATCH_1)
    message(FATAL_ERROR "${tarball} is missing or not the pinned hidapi release: "
                        "run scripts/setup --zip")
  endif()
  set(HIDAPI_SOURCE_DIR "${CMAKE_BINARY_DIR}/hidapi-source")
  set(made_from "")
  if(EXISTS "${HIDAPI_SOURCE_DIR}.sha256")
    file(READ "${HIDAPI_SOURCE_DIR}.sha256" made_from)
  endif()
  if(NOT made_from STREQUAL digest)
    file(REMOVE_RECURSE "${HIDAPI_SOURCE_DIR}" "${HIDAPI_SOURCE_DIR}.unpacked")
    file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${HIDAPI_SOURCE_DIR}.unpacked" TOUCH)
    file(GLOB unpacked LIST_DIRECTORIES true "${HIDAPI_SOURCE_DIR}.unpacked/*")
    file(RENAME "${unpacked}" "${HIDAPI_SOURCE_DIR}")
    file(REMOVE_RECURSE "${HIDAPI_SOURCE_DIR}.unpacked")
    file(WRITE "${HIDAPI_SOURCE_DIR}.sha256" "${digest}")
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
