qxfw_add_bench(NAME port_list_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/port_list_bench.cc
  LIBS qxfw_monitor_net)
