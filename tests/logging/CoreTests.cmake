# The profile functions, version record and session queries differ between the
# 64-bit and the 32-bit Windows prefix, so these run in both.
orn_add_test(LogConfigurationTest SOURCES LogConfigurationTest.cpp IniConfigurationTest.cpp
             LIBS orn_logging BOTH_PREFIXES)
orn_add_test(FilterEvaluatorTest SOURCES FilterEvaluatorTest.cpp LIBS orn_logging)
orn_add_test(LogFormatterTest SOURCES LogFormatterTest.cpp LIBS orn_logging BOTH_PREFIXES)
orn_add_test(CoreAllocationTest SOURCES CoreAllocationTest.cpp LIBS orn_logging)
