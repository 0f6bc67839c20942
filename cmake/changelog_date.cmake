# The date of the changelog's newest entry (which comes first), in seconds
# since 1970, as Debian's own tools take it for SOURCE_DATE_EPOCH. Its
# trailer is " -- Name <address>  Date": the name may be in any script, and
# one blank before the date is read as dpkg-parsechangelog reads it.
#
#   cmake -DCHANGELOG=FILE -P changelog_date.cmake   prints it
function(changelog_date changelog out)
  file(STRINGS "${changelog}" trailers REGEX "^ -- " ENCODING UTF-8)
  list(GET trailers 0 newest)
  string(REGEX REPLACE "^ -- .*> +" "" released "${newest}")
  execute_process(COMMAND date -u -d "${released}" +%s
    OUTPUT_VARIABLE seconds OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "${seconds}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  changelog_date("${CHANGELOG}" seconds)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${seconds}")
endif()
