# vistrel_add_gtest(NAME
#     SOURCES file...
#     LIBS target...
#     [ISOLATED]            run every test case in its own mount namespace
#                           with a private /tmp (tests that start servers)
#     [TIMEOUT seconds]     per test case, default 120
#     [LABELS label...])
#
# Every test case becomes one CTest test, so `ctest -j2` spreads them out.
include(GoogleTest)

# Under ThreadSanitizer every test case reads the project's suppressions
# (races TSan reports inside uninstrumented libraries, see the file).
set(VISTREL_TEST_PROPERTIES "")
if(VISTREL_SANITIZE STREQUAL "thread")
    set(VISTREL_TEST_PROPERTIES ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan.supp")
endif()

function(vistrel_add_gtest name)
    cmake_parse_arguments(T "ISOLATED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
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
        PROPERTIES TIMEOUT ${T_TIMEOUT} ${VISTREL_TEST_PROPERTIES} LABELS "${T_LABELS}")
endfunction()
