# qxfw_prefs: CPreferences with the string table, CRegistry.
add_library(qxfw_prefs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/preferences.cc
  ${CMAKE_CURRENT_LIST_DIR}/registry.cc
  ${CMAKE_CURRENT_LIST_DIR}/string_table.cc
  ${CMAKE_CURRENT_LIST_DIR}/user_language.cc
)
target_include_directories(qxfw_prefs PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_prefs PUBLIC qxfw_platform)
