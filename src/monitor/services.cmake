# Shares, image cache, WHOIS client and traffic counters of the monitor area; no Qt.
add_library(qxfw_monitor_services STATIC
  ${CMAKE_CURRENT_LIST_DIR}/image_cacher.cc
  ${CMAKE_CURRENT_LIST_DIR}/net_traffic.cc
  ${CMAKE_CURRENT_LIST_DIR}/samba_tool.cc
  ${CMAKE_CURRENT_LIST_DIR}/shared_folder_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/whois_client.cc
)
target_include_directories(qxfw_monitor_services PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_monitor_services PUBLIC qxfw_platform Threads::Threads)
