# logcheck run end to end; it writes the logging registry values and
# "logCfg.Ini" as the manager's tests do.
orn_add_test(LogCheckTest SOURCES LogCheckTest.cpp LIBS orn_logging ws2_32 REGISTRY TIMEOUT 180)
add_dependencies(LogCheckTest logcheck)
