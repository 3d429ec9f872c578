# Sources of the manager, section processing and sinks. Set
# ORN_LOGGING_HAS_MANAGER once DefaultLogManager is defined here, and list the
# system libraries in ORN_LOGGING_SYSTEM_LIBS.
