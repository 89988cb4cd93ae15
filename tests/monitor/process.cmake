qxfw_add_test(NAME monitor_process_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/process_list_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/version_info_test.cc
  LIBS qxfw_monitor_process)
