qxfw_add_bench(NAME quarantine_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quarantine_bench.cc
  LIBS qxav_services)
