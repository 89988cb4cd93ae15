# Process list and file version information; no Qt.
add_library(qxfw_monitor_process STATIC
  ${CMAKE_CURRENT_LIST_DIR}/process_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/trusted_path.cc
  ${CMAKE_CURRENT_LIST_DIR}/version_info.cc
)
target_include_directories(qxfw_monitor_process PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_monitor_process PUBLIC qxfw_platform)
