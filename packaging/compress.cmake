# Run by CPack between staging and packing: Debian wants the manual pages and
# the changelogs compressed with gzip -9n (no name or time stamp, so that the
# same sources give the same package). A plain install leaves them as written.
file(GLOB_RECURSE QUENTA_STAGED LIST_DIRECTORIES false ${CPACK_TEMPORARY_DIRECTORY}/*)
list(FILTER QUENTA_STAGED INCLUDE REGEX "/share/(man/man[1-9]/[^/]+\\.[1-9]|doc/[^/]+/changelog)$")
foreach(file IN LISTS QUENTA_STAGED)
    execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot compress ${file}")
    endif()
endforeach()
