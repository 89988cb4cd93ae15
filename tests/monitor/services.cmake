qxfw_add_test(NAME monitor_services_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/image_cacher_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/net_traffic_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/shared_folder_list_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/whois_client_test.cc
  LIBS qxfw_monitor_services)
