qxfw_add_bench(NAME process_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_bench.cc
  LIBS qxfw_monitor_process)
