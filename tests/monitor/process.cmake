qxfw_add_test(NAME monitor_process_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/process_list_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/version_info_test.cc
  LIBS qxfw_monitor_process)

qxfw_add_test(NAME monitor_trusted_path_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trusted_path_test.cc
  LIBS qxfw_monitor_process qxfw_monitor_services)

qxfw_add_test(NAME monitor_trusted_path_namespace_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trusted_path_namespace_test.cc
  LIBS qxfw_monitor_process)
