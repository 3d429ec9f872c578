# The scan launcher and the menu strings against the real registry, real
# folders and the agent stand-in, in both prefixes.
orn_add_test(LauncherTest SOURCES LauncherTest.cpp
             LIBS orn_extension_core BOTH_PREFIXES X64 REGISTRY)
add_dependencies(LauncherTest zuAgtSvc)
orn_add_test(StringsTest SOURCES StringsTest.cpp
             LIBS orn_extension_core BOTH_PREFIXES X64 REGISTRY)
