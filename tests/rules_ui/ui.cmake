# The rule dialogs and views (label ui): offscreen Qt over real rule files.
find_package(Qt6 REQUIRED COMPONENTS Test Widgets)

add_executable(rules_ui_test
  ${CMAKE_CURRENT_LIST_DIR}/rules_ui_test_main.cc
  ${CMAKE_CURRENT_LIST_DIR}/dialogs_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/views_test.cc
)
set_target_properties(rules_ui_test PROPERTIES AUTOMOC ON)
target_link_libraries(rules_ui_test PRIVATE qxfw_rules_ui Qt6::Test)
target_include_directories(rules_ui_test PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
add_test(NAME ui.rules_ui_test COMMAND rules_ui_test)
set_tests_properties(ui.rules_ui_test PROPERTIES LABELS ui TIMEOUT 120
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# Not a test: pictures of the rule lists and dialogs for scripts/rules_screenshots.sh.
add_executable(rules_ui_shots ${CMAKE_CURRENT_LIST_DIR}/rules_ui_shots.cc)
target_link_libraries(rules_ui_shots PRIVATE qxfw_monitor_ui qxfw_rules_ui Qt6::Test)
target_include_directories(rules_ui_shots PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
