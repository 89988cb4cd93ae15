# qxfw_add_test(NAME <target> LABEL <unit|integration|ui> SOURCES <...> LIBS <...> [LOCK <name>])
# Builds one GoogleTest binary and registers each of its cases with ctest under LABEL. Cases
# with the same LOCK never run at the same time (for example every case that starts the filter
# daemon, whose named events exist once per machine).
include(GoogleTest)

function(qxfw_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;LOCK" "SOURCES;LIBS" ${ARGN})
  set(T_LOCK_PROPERTY)
  if(T_LOCK)
    set(T_LOCK_PROPERTY RESOURCE_LOCK ${T_LOCK})
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  # Each test process has a private $XDG_RUNTIME_DIR: user events never meet other processes'.
  if(NOT TARGET qxfw_test_runtime_dir)
    add_library(qxfw_test_runtime_dir OBJECT
      ${PROJECT_SOURCE_DIR}/tests/test_support/private_runtime_dir.cc)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} qxfw_test_runtime_dir GTest::gmock
    GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} ${T_LOCK_PROPERTY}
    TEST_PREFIX "${T_LABEL}.")
endfunction()

# qxfw_add_bench(NAME <target> SOURCES <...> LIBS <...>): a Google Benchmark driver, not run by ctest.
function(qxfw_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${B_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench)
endfunction()
