# Sources of the manager, section processing and sinks.
list(APPEND ORN_LOGGING_SOURCES
    LogArchive.cpp
)
list(APPEND ORN_LOGGING_SYSTEM_LIBS cabinet)
