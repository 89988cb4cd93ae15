# qxfw_rules_ui: the rule dialogs and the views' lists (Qt).
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(qxfw_rules_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/add_dlg.cc
  ${CMAKE_CURRENT_LIST_DIR}/add_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/add_port_dlg.cc
  ${CMAKE_CURRENT_LIST_DIR}/add_port_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/dialog_fields.cc
  ${CMAKE_CURRENT_LIST_DIR}/icon_cache.cc
  ${CMAKE_CURRENT_LIST_DIR}/icon_cache.h
  ${CMAKE_CURRENT_LIST_DIR}/page_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/page_list.h
  ${CMAKE_CURRENT_LIST_DIR}/port_rules.cc
  ${CMAKE_CURRENT_LIST_DIR}/port_rules.h
  ${CMAKE_CURRENT_LIST_DIR}/program_rules.cc
  ${CMAKE_CURRENT_LIST_DIR}/program_rules.h
  ${CMAKE_CURRENT_LIST_DIR}/shared_folders.cc
  ${CMAKE_CURRENT_LIST_DIR}/shared_folders.h
  ${CMAKE_CURRENT_LIST_DIR}/dialog_fields.h
  ${CMAKE_CURRENT_LIST_DIR}/policy_dlg.cc
  ${CMAKE_CURRENT_LIST_DIR}/policy_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/skin_dialog.cc
  ${CMAKE_CURRENT_LIST_DIR}/skin_dialog.h
)
set_target_properties(qxfw_rules_ui PROPERTIES AUTOMOC ON)
target_include_directories(qxfw_rules_ui PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_rules_ui PUBLIC qxfw_rules_model controls qxfw_store qxfw_prefs
  qxfw_monitor_services qxfw_monitor_process Qt6::Widgets)
