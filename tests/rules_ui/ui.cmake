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

# The program list of the running program over the real filter daemon (label integration): each
# case in a process of its own (the program's store and driver exist once per process). Named
# like the firewall program, in a folder of its own.
if(TARGET qltdifw AND TARGET qxfw_shell_ui AND TARGET net_probe)
  find_package(Qt6 REQUIRED COMPONENTS WebEngineWidgets)
  add_executable(rules_daemon_test ${CMAKE_CURRENT_LIST_DIR}/daemon_rules_test.cc)
  target_link_libraries(rules_daemon_test PRIVATE qxfw_shell_ui qxfw_store Qt6::Test GTest::gtest
    Threads::Threads)
  target_include_directories(rules_daemon_test PRIVATE ${PROJECT_SOURCE_DIR}/src
    ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(rules_daemon_test PRIVATE
    QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>" NET_PROBE_PATH="$<TARGET_FILE:net_probe>"
    QLTDIFW_PATH="$<TARGET_FILE:qltdifw>")
  set_target_properties(rules_daemon_test PROPERTIES OUTPUT_NAME qxfw
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/program_over_daemon)
  add_dependencies(rules_daemon_test qxfwctl net_probe qltdifw)
  foreach(case RulesOfTheOpenListDecideRealConnections QxfwctlRuleShowsInTheOpenListAndDecides)
    add_test(NAME integration.ProgramPageOverDaemonTest.${case}
      COMMAND rules_daemon_test --gtest_filter=ProgramPageOverDaemonTest.${case})
    set_tests_properties(integration.ProgramPageOverDaemonTest.${case} PROPERTIES
      LABELS integration TIMEOUT 240
      RESOURCE_LOCK "qltdifw;qxfw_companion_event" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;LANG=C.UTF-8")
  endforeach()
endif()
