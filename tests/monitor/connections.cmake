qxfw_add_test(NAME monitor_connections_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ip_resolver_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/mng_port_list_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/net_rows_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/port_list_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/proc_net_test.cc
  LIBS qxfw_monitor_net)

qxfw_add_test(NAME monitor_end_connection_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/end_connection_test.cc
  LIBS qxfw_monitor_net)
