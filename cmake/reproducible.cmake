# The same source gives the same packages, byte for byte, wherever, whenever
# and by whomever it is built, so that anyone can check that a package comes
# from the source it claims: no build path in the binaries, and every
# timestamp that the packages and the exe record is the source's own
# (SOURCE_DATE_EPOCH, as Debian's builds set it). The .deb's modes are fixed
# after CPack, in deb_rebuild.cmake; the zip holds only files, whose modes
# the install rules set.
# The date is the changelog's newest entry (which comes first), as Debian's
# own tools take it: the same in a clone, an export or a tarball of the
# source, git or no git.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  include(${CMAKE_CURRENT_LIST_DIR}/changelog_date.cmake)
  changelog_date("${PROJECT_SOURCE_DIR}/packaging/linux/changelog" SOURCE_DATE_EPOCH)
endif()

add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                    "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
# The PE linker stamps the exe and the DLL with SOURCE_DATE_EPOCH, and CPack
# its archive members; both read it from their environment.
foreach(lang C CXX)
  set(CMAKE_${lang}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH})
endforeach()
# A zip entry's time is local time: the zip's is UTC, whatever the builder's.
file(WRITE "${PROJECT_BINARY_DIR}/source_date_epoch.cmake"
     "set(ENV{SOURCE_DATE_EPOCH} ${SOURCE_DATE_EPOCH})\nset(ENV{TZ} UTC0)\n")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/source_date_epoch.cmake")
