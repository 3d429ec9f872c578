# Sources of the manager, section processing and sinks.
list(APPEND ORN_LOGGING_SOURCES
    DefaultLogManager.cpp
    LogManager.cpp
    LogFileSink.cpp
    LogArchive.cpp
    SyslogSink.cpp
)
set(ORN_LOGGING_HAS_MANAGER ON)
list(APPEND ORN_LOGGING_SYSTEM_LIBS cabinet wsock32 shell32 shlwapi advapi32)
