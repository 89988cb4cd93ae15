# qxfwctl monitor: the headless host of the firewall core.
target_sources(qxfw_ctl_lib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/firewall_monitor.cc)
target_link_libraries(qxfw_ctl_lib PUBLIC qxfw_firewall_core)
