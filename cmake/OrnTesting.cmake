# orn_add_test(name SOURCES ... LIBS ... [BOTH_PREFIXES] [REGISTRY] [TIMEOUT s])
#
# Builds a GoogleTest executable and registers it with ctest, run under Wine in
# the 64-bit prefix; BOTH_PREFIXES also runs it in the 32-bit prefix as
# "<name>.win32" (for code whose behaviour depends on the platform's bitness).
# REGISTRY marks tests that write the product's fixed registry keys: ctest never
# runs two of them at once in one prefix.
include_guard(GLOBAL)

foreach(prefix wine64 wine32)
    add_test(NAME wineserver.start.${prefix} COMMAND ${CMAKE_BINARY_DIR}/wine-session start ${prefix})
    set_tests_properties(wineserver.start.${prefix} PROPERTIES FIXTURES_SETUP ${prefix})
    add_test(NAME wineserver.stop.${prefix} COMMAND ${CMAKE_BINARY_DIR}/wine-session stop ${prefix})
    set_tests_properties(wineserver.stop.${prefix} PROPERTIES FIXTURES_CLEANUP ${prefix})
endforeach()

# The prefix's wineserver fixture, the time-out, the registry lock and the
# environment every test program can rely on. set_property keeps the
# environment a list; set_tests_properties would take only its first entry.
function(orn_set_test_environment test_name prefix registry timeout extra_env)
    set_tests_properties(${test_name} PROPERTIES FIXTURES_REQUIRED ${prefix} TIMEOUT ${timeout})
    set_property(TEST ${test_name} PROPERTY ENVIRONMENT
                 ORN_PREFIX=${prefix} ORN_SOURCE_DIR=${PROJECT_SOURCE_DIR}
                 ORN_BINARY_DIR=${CMAKE_BINARY_DIR} ${extra_env})
    if(registry)
        set_tests_properties(${test_name} PROPERTIES RESOURCE_LOCK registry.${prefix})
    endif()
endfunction()

function(orn_add_test name)
    cmake_parse_arguments(T "BOTH_PREFIXES;REGISTRY" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} orn_gtest_main)
    set(prefixes wine64)
    if(T_BOTH_PREFIXES)
        list(APPEND prefixes wine32)
    endif()
    foreach(prefix ${prefixes})
        set(test_name ${name})
        if(prefix STREQUAL wine32)
            set(test_name ${name}.win32)
        endif()
        add_test(NAME ${test_name} COMMAND ${name})
        orn_set_test_environment(${test_name} ${prefix} "${T_REGISTRY}" ${T_TIMEOUT} "")
    endforeach()
endfunction()

# orn_add_test_run(test_name EXE target [PREFIX wine64|wine32] [REGISTRY]
#                  [ARGS ...] [ENV VAR=value ...] [TIMEOUT s])
#
# One more ctest run of an existing test executable, for example with other
# locale variables (LC_ALL=de_CH.UTF-8 gives Windows UI language 0x0807) or a
# --gtest_filter.
function(orn_add_test_run test_name)
    cmake_parse_arguments(T "REGISTRY" "EXE;PREFIX;TIMEOUT" "ARGS;ENV" ${ARGN})
    if(NOT T_PREFIX)
        set(T_PREFIX wine64)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_test(NAME ${test_name} COMMAND ${T_EXE} ${T_ARGS})
    orn_set_test_environment(${test_name} ${T_PREFIX} "${T_REGISTRY}" ${T_TIMEOUT} "${T_ENV}")
endfunction()
