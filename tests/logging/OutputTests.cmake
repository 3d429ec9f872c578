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

add_executable(LogFileSinkTest LogFileSinkTest.cpp)
target_link_libraries(LogFileSinkTest PRIVATE orn_logging orn_gtest_main)
add_dependencies(LogFileSinkTest LogOutputChild)
set(sharedLog LogFileSinkTest.SeveralProcessesShareOneRotatingLog)
orn_add_test_run(LogFileSinkTest EXE LogFileSinkTest ARGS --gtest_filter=-${sharedLog} TIMEOUT 180)
set_tests_properties(LogFileSinkTest PROPERTIES FIXTURES_SETUP logging.cabinets)
# The processes sharing one log and the check of the lines they left form
# one test, so that a repeated run checks every round.
add_test(NAME LogFileSinkTest.sharedlog
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/support/run-then-check.sh
                 ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:LogFileSinkTest> --gtest_filter=${sharedLog}
                 -- sh ${CMAKE_CURRENT_SOURCE_DIR}/verify-shared-log.sh
                 ${CMAKE_BINARY_DIR}/tests/logging/output/shared)
orn_set_test_environment(LogFileSinkTest.sharedlog wine64 "" 180 "")

orn_add_test(SyslogSinkTest SOURCES SyslogSinkTest.cpp LIBS orn_logging ws2_32)
add_dependencies(SyslogSinkTest LogOutputChild)

orn_add_test(LogManagerTest SOURCES LogManagerTest.cpp LIBS orn_logging ws2_32 BOTH_PREFIXES X64 REGISTRY
             TIMEOUT 180)
add_dependencies(LogManagerTest LogOutputChild)

orn_add_test(LogLinkTest SOURCES LogLinkTest.cpp LIBS orn_logging)

orn_add_test(ConfigurationChangeTest SOURCES ConfigurationChangeTest.cpp LIBS orn_logging
             BOTH_PREFIXES REGISTRY)

# A standard collector (rsyslogd on the Linux side) reading what a syslog
# section of the logging child sends.
if(NOT ORN_WIN64)
    add_test(NAME SyslogSinkTest.rsyslog
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/rsyslog-collector.sh ${CMAKE_BINARY_DIR}/wine-run
                     $<TARGET_FILE:LogOutputChild> ${CMAKE_BINARY_DIR}/tests/logging/output/rsyslog)
    orn_set_test_environment(SyslogSinkTest.rsyslog wine64 "" 60 "")
endif()
