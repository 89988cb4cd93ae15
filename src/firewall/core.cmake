add_library(qxfw_firewall_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/access_decision.cc
  ${CMAKE_CURRENT_LIST_DIR}/device.cc
  ${CMAKE_CURRENT_LIST_DIR}/firewall_driver.cc
  ${CMAKE_CURRENT_LIST_DIR}/prompt_answer.cc
  ${CMAKE_CURRENT_LIST_DIR}/ps_notifier.cc
  ${CMAKE_CURRENT_LIST_DIR}/request_poller.cc
  ${CMAKE_CURRENT_LIST_DIR}/security_level.cc
  ${CMAKE_CURRENT_LIST_DIR}/trusted_path_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/trusted_programs.cc
)
add_library(firewall_core ALIAS qxfw_firewall_core)
target_include_directories(qxfw_firewall_core PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_firewall_core PUBLIC qxfw_device_protocol qxfw_store qxfw_shell
  qxfw_monitor_process qxfw_monitor_services qxfw_platform)
