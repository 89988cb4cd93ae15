qxfw_add_test(NAME firewall_monitor_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/firewall_monitor_test.cc
  LIBS qxfw_ctl_lib)
target_include_directories(firewall_monitor_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(firewall_monitor_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(firewall_monitor_test qxfwctl)
