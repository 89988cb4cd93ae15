# The rule-change journal as the log page lists it; no Qt.
add_library(qxfw_monitor_journal STATIC
  ${CMAKE_CURRENT_LIST_DIR}/log_rows.cc
)
target_include_directories(qxfw_monitor_journal PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_monitor_journal PUBLIC qxfw_store qxfw_platform)
