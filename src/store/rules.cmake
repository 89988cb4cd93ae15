# qxfw_store: rule records, rule data file and journal.
add_library(qxfw_store STATIC
  ${CMAKE_CURRENT_LIST_DIR}/db_cache.cc
  ${CMAKE_CURRENT_LIST_DIR}/db_manager.cc
  ${CMAKE_CURRENT_LIST_DIR}/rule_records.cc
  ${CMAKE_CURRENT_LIST_DIR}/rule_text.cc
  ${CMAKE_CURRENT_LIST_DIR}/slot_file.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_damage.cc
)
target_include_directories(qxfw_store PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_store PUBLIC qxfw_cipher qxfw_prefs qxfw_platform)
