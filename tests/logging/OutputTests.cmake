# Manager, section processing, sinks and archive.

orn_add_test(LogArchiveTest SOURCES LogArchiveTest.cpp LIBS orn_logging)
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
add_dependencies(LogFileSinkTest LogOutputChild)
set_tests_properties(LogFileSinkTest PROPERTIES FIXTURES_SETUP "logging.cabinets;logging.shared")
add_test(NAME LogFileSinkTest.sharedlog
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/verify-shared-log.sh
                 ${CMAKE_BINARY_DIR}/tests/logging/output/shared)
set_tests_properties(LogFileSinkTest.sharedlog PROPERTIES FIXTURES_REQUIRED logging.shared)

orn_add_test(SyslogSinkTest SOURCES SyslogSinkTest.cpp LIBS orn_logging ws2_32)
add_dependencies(SyslogSinkTest LogOutputChild)

orn_add_test(LogManagerTest SOURCES LogManagerTest.cpp LIBS orn_logging ws2_32 BOTH_PREFIXES X64 REGISTRY
             TIMEOUT 180)
add_dependencies(LogManagerTest LogOutputChild)

# A standard collector (rsyslogd on the Linux side) reading what a syslog
# section of the logging child sends.
if(NOT ORN_WIN64)
    add_test(NAME SyslogSinkTest.rsyslog
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/rsyslog-collector.sh ${CMAKE_BINARY_DIR}/wine-run
                     $<TARGET_FILE:LogOutputChild> ${CMAKE_BINARY_DIR}/tests/logging/output/rsyslog)
    orn_set_test_environment(SyslogSinkTest.rsyslog wine64 "" 60 "")
endif()
