# Connection table, its managed list and the reverse-name resolver.
add_library(qxfw_monitor_net STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ip_resolver.cc
  ${CMAKE_CURRENT_LIST_DIR}/mng_port_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/net_rows.cc
  ${CMAKE_CURRENT_LIST_DIR}/port_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/proc_net.cc
  ${CMAKE_CURRENT_LIST_DIR}/sock_diag.cc
  ${CMAKE_CURRENT_LIST_DIR}/socket_owner.cc
)
target_include_directories(qxfw_monitor_net PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_monitor_net PUBLIC qxfw_monitor_process qxfw_platform Threads::Threads)
