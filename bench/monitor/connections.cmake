qxfw_add_bench(NAME port_list_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/port_list_bench.cc
  LIBS qxfw_monitor_net)

find_package(Qt6 REQUIRED COMPONENTS Test Widgets)
qxfw_add_bench(NAME network_view_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/network_view_bench.cc
  LIBS qxfw_monitor_ui Qt6::Test)
qxfw_add_bench(NAME log_view_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_view_bench.cc
  LIBS qxfw_monitor_ui)
