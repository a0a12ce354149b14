# vistrel_add_gtest(NAME
#     SOURCES file...
#     LIBS target...
#     [ISOLATED]            run every test case in its own mount namespace
#                           with a private /tmp (tests that start servers)
#     [SERIAL]              run with no other test beside it (a test that
#                           measures rates)
#     [TIMEOUT seconds]     per test case, default 120
#     [LABELS label...])
#
# Every test case becomes one CTest test, so `ctest -j2` spreads them out.
#
# -DVISTREL_TESTS="test_a;test_b" (the sanitizer builds of scripts/test.sh)
# registers only those programs; the others are still defined, but left out
# of the default build and of CTest.
include(GoogleTest)

set(VISTREL_TESTS "" CACHE STRING "Test programs to build and register (empty: all)")

function(vistrel_add_gtest name)
    cmake_parse_arguments(T "ISOLATED;SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(VISTREL_TESTS AND NOT name IN_LIST VISTREL_TESTS)
        add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
        target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
    target_compile_definitions(${name} PRIVATE
        VISTREL_BINARY_DIR="${PROJECT_BINARY_DIR}"
        VISTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    if(T_ISOLATED)
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
            "${PROJECT_SOURCE_DIR}/scripts/isolated-run;--keep;${PROJECT_SOURCE_DIR};--keep;${PROJECT_BINARY_DIR};--")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" RUN_SERIAL ${T_SERIAL})
endfunction()
