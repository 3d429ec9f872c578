# Sources of the configuration model, evaluator and formatter.
list(APPEND ORN_LOGGING_SOURCES
    LogConfiguration.cpp
    IniConfiguration.cpp
    DefaultLogConfiguration.cpp
    FilterEvaluator.cpp
    ConditionGrammar.cpp
    ConditionAnalysis.cpp
    OStream.cpp
    LogFormatter.cpp
)
# GetUserNameA; the rest comes from kernel32 and user32.
list(APPEND ORN_LOGGING_SYSTEM_LIBS advapi32 user32)
