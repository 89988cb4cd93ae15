qxfw_add_bench(NAME decide_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/decide_bench.cc
  LIBS qxfw_firewall_core)
target_include_directories(decide_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
