qxfw_add_test(NAME firewall_core_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/access_decision_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/device_client_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/firewall_driver_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/prompt_answer_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/request_lists_test.cc
  LIBS qxfw_firewall_core qxfw_monitor_services)
target_include_directories(firewall_core_test PRIVATE ${PROJECT_SOURCE_DIR})
