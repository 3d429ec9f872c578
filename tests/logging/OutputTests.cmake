# Manager, section processing, sinks and archive.

# Sets the test environment as one list (ORN_BINARY_DIR tells the tests where
# the helper programs and the test output folders are).
function(orn_output_environment test prefix)
    set_tests_properties(${test} PROPERTIES ENVIRONMENT
        "ORN_PREFIX=${prefix};ORN_SOURCE_DIR=${PROJECT_SOURCE_DIR};ORN_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()

orn_add_test(LogArchiveTest SOURCES LogArchiveTest.cpp LIBS orn_logging)
orn_output_environment(LogArchiveTest wine64)
# The cabinets that test leaves behind, read with cabextract on the Linux side.
set_tests_properties(LogArchiveTest PROPERTIES FIXTURES_SETUP logging.cabinets)
add_test(NAME LogArchiveTest.cabextract
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/verify-cabinets.sh
                 ${CMAKE_BINARY_DIR}/tests/logging/output/archive)
set_tests_properties(LogArchiveTest.cabextract PROPERTIES FIXTURES_REQUIRED logging.cabinets)

# Helper process: a writer of its own, a logging client, a debugger's child.
add_executable(LogOutputChild LogOutputChild.cpp)
target_link_libraries(LogOutputChild PRIVATE orn_logging)
target_link_options(LogOutputChild PRIVATE -municode)

orn_add_test(LogFileSinkTest SOURCES LogFileSinkTest.cpp LIBS orn_logging TIMEOUT 180)
orn_output_environment(LogFileSinkTest wine64)
add_dependencies(LogFileSinkTest LogOutputChild)
set_tests_properties(LogFileSinkTest PROPERTIES FIXTURES_SETUP "logging.cabinets;logging.shared")
add_test(NAME LogFileSinkTest.sharedlog
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/verify-shared-log.sh
                 ${CMAKE_BINARY_DIR}/tests/logging/output/shared)
set_tests_properties(LogFileSinkTest.sharedlog PROPERTIES FIXTURES_REQUIRED logging.shared)

orn_add_test(SyslogSinkTest SOURCES SyslogSinkTest.cpp LIBS orn_logging ws2_32)
orn_output_environment(SyslogSinkTest wine64)
add_dependencies(SyslogSinkTest LogOutputChild)

orn_add_test(LogManagerTest SOURCES LogManagerTest.cpp LIBS orn_logging ws2_32 REGISTRY TIMEOUT 180)
orn_output_environment(LogManagerTest wine64)
add_dependencies(LogManagerTest LogOutputChild)
