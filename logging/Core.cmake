# Sources of the configuration model, evaluator and formatter.
# list(APPEND ORN_LOGGING_SOURCES ...)
