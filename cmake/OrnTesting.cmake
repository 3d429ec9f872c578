# orn_add_test(name SOURCES ... LIBS ... [BOTH_PREFIXES] [X64] [REGISTRY] [TIMEOUT s])
#
# Builds a GoogleTest executable and registers it with ctest, run under Wine in
# the 64-bit prefix; BOTH_PREFIXES also runs it in the 32-bit prefix as
# "<name>.win32" (for code whose behaviour depends on the platform's bitness).
# X64 also runs the program of the 64-bit build (the x64 tree beside this one)
# in the 64-bit prefix as "<name>.x64": a 64-bit module on 64-bit Windows.
# REGISTRY marks tests that write the product's fixed registry keys: ctest never
# runs two of them at once in one prefix.
#
# The 64-bit tree builds only the programs marked X64 (target orn_x64_tests);
# this tree's ctest runs them.
include_guard(GLOBAL)

# Where the 64-bit tree lives, and where a program of this tree has its
# 64-bit twin.
set(ORN_X64_BINARY_DIR ${CMAKE_BINARY_DIR}/x64 CACHE PATH "Build tree of the 64-bit build")
function(orn_x64_twin out target_dir name)
    file(RELATIVE_PATH relative ${CMAKE_BINARY_DIR} ${target_dir})
    set(${out} ${ORN_X64_BINARY_DIR}/${relative}/${name}.exe PARENT_SCOPE)
endfunction()

if(ORN_WIN64)
    add_custom_target(orn_x64_tests ALL)
    # The tests this tree registers keep the declarations below valid; ctest
    # is never run here.
    function(orn_add_test name)
        cmake_parse_arguments(T "BOTH_PREFIXES;X64;REGISTRY" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
        add_executable(${name} ${T_SOURCES})
        target_link_libraries(${name} PRIVATE ${T_LIBS} orn_gtest_main)
        add_test(NAME ${name} COMMAND ${name})
        if(T_X64)
            add_dependencies(orn_x64_tests ${name})
        endif()
    endfunction()
    function(orn_add_test_run test_name)
        add_test(NAME ${test_name} COMMAND true)
    endfunction()
    return()
endif()

foreach(prefix wine64 wine32)
    add_test(NAME wineserver.start.${prefix} COMMAND ${CMAKE_BINARY_DIR}/wine-session start ${prefix})
    set_tests_properties(wineserver.start.${prefix} PROPERTIES FIXTURES_SETUP ${prefix})
    add_test(NAME wineserver.stop.${prefix} COMMAND ${CMAKE_BINARY_DIR}/wine-session stop ${prefix})
    set_tests_properties(wineserver.stop.${prefix} PROPERTIES FIXTURES_CLEANUP ${prefix})
endforeach()

# The prefix's wineserver fixture, the time-out, the registry lock and the
# environment every test program can rely on. set_property keeps the
# environment a list; set_tests_properties would take only its first entry.
# The build "x64" runs in the 64-bit prefix with the 64-bit tree as its
# binary folder.
function(orn_set_test_environment test_name prefix registry timeout extra_env)
    set(binary_dir ${CMAKE_BINARY_DIR})
    if(prefix STREQUAL x64)
        set(prefix wine64)
        set(binary_dir ${ORN_X64_BINARY_DIR})
        # The 32-bit build beside it, for tests of both builds at once.
        list(APPEND extra_env ORN_X86_BINARY_DIR=${CMAKE_BINARY_DIR})
    endif()
    set_tests_properties(${test_name} PROPERTIES FIXTURES_REQUIRED ${prefix} TIMEOUT ${timeout})
    set_property(TEST ${test_name} PROPERTY ENVIRONMENT
                 ORN_PREFIX=${prefix} ORN_SOURCE_DIR=${PROJECT_SOURCE_DIR}
                 ORN_BINARY_DIR=${binary_dir} ${extra_env})
    if(registry)
        set_tests_properties(${test_name} PROPERTIES RESOURCE_LOCK registry.${prefix})
    endif()
endfunction()

function(orn_add_test name)
    cmake_parse_arguments(T "BOTH_PREFIXES;X64;REGISTRY" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} orn_gtest_main)
    set(prefixes wine64)
    if(T_BOTH_PREFIXES)
        list(APPEND prefixes wine32)
    endif()
    if(T_X64)
        list(APPEND prefixes x64)
    endif()
    foreach(prefix ${prefixes})
        if(prefix STREQUAL wine32)
            add_test(NAME ${name}.win32 COMMAND ${name})
            set(test_name ${name}.win32)
        elseif(prefix STREQUAL x64)
            orn_x64_twin(exe ${CMAKE_CURRENT_BINARY_DIR} ${name})
            add_test(NAME ${name}.x64 COMMAND ${CMAKE_BINARY_DIR}/wine-run ${exe})
            set(test_name ${name}.x64)
        else()
            add_test(NAME ${name} COMMAND ${name})
            set(test_name ${name})
        endif()
        orn_set_test_environment(${test_name} ${prefix} "${T_REGISTRY}" ${T_TIMEOUT} "")
    endforeach()
endfunction()

# orn_add_test_run(test_name EXE target [PREFIX wine64|wine32|x64] [REGISTRY]
#                  [ARGS ...] [ENV VAR=value ...] [TIMEOUT s])
#
# One more ctest run of an existing test executable, for example with other
# locale variables (LC_ALL=de_CH.UTF-8 gives Windows UI language 0x0807) or a
# --gtest_filter. PREFIX x64 runs the target's 64-bit twin (declared X64).
function(orn_add_test_run test_name)
    cmake_parse_arguments(T "REGISTRY" "EXE;PREFIX;TIMEOUT" "ARGS;ENV" ${ARGN})
    if(NOT T_PREFIX)
        set(T_PREFIX wine64)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(T_PREFIX STREQUAL x64)
        orn_x64_twin(exe ${CMAKE_CURRENT_BINARY_DIR} ${T_EXE})
        add_test(NAME ${test_name} COMMAND ${CMAKE_BINARY_DIR}/wine-run ${exe} ${T_ARGS})
    else()
        add_test(NAME ${test_name} COMMAND ${T_EXE} ${T_ARGS})
    endif()
    orn_set_test_environment(${test_name} ${T_PREFIX} "${T_REGISTRY}" ${T_TIMEOUT} "${T_ENV}")
endfunction()
