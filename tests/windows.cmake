# The tests of the Windows build, run under Wine (the cross-compiling
# emulator): the foundation's and the request parsers', which need no POSIX.
# GoogleTest comes from Debian's sources, built with the cross-compiler.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(QUENTA_WINDOWS_TESTS component_test debugdef_test list_test locks_test log_test logfile_test
    panic_test perflog_test platform_sync_test request_format_test request_inquiry_test
    request_param_test request_plain_test request_response_test time_test xfer_test)

foreach(name ${QUENTA_WINDOWS_TESTS})
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE quenta_core gtest gmock gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    # One Wine process a file: starting one a case would cost more than the
    # cases themselves.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS windows TIMEOUT 300)
endforeach()

# A plain C program linked against the import library: quenta.dll as an
# application meets it. The end-to-end run drives it beside quenta.exe.
add_executable(quenta_dll_client c_api/quenta_dll_client.c)
set_target_properties(quenta_dll_client PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON)
target_link_libraries(quenta_dll_client PRIVATE quenta)
target_include_directories(quenta_dll_client PRIVATE ${PROJECT_SOURCE_DIR}/include)

# The export table and the imports, read with the cross binutils on the host.
add_test(NAME windows_exports
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_exports_test.sh $<TARGET_FILE:quenta>
            $<TARGET_FILE:quenta-cli> $<TARGET_FILE:quenta_dll_client>)
set_tests_properties(windows_exports PROPERTIES LABELS windows)
