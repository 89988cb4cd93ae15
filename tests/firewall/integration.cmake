add_executable(net_probe ${CMAKE_CURRENT_LIST_DIR}/net_probe.cc)
if(TARGET qltdifw)
  set(QXFW_QLTDIFW_PATH "$<TARGET_FILE:qltdifw>")
else()
  set(QXFW_QLTDIFW_PATH "")
endif()
qxfw_add_test(NAME firewall_integration_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/firewall_integration_test.cc
  LIBS qxfw_store LOCK qltdifw)
target_compile_definitions(firewall_integration_test PRIVATE
  QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>" NET_PROBE_PATH="$<TARGET_FILE:net_probe>"
  QLTDIFW_PATH="${QXFW_QLTDIFW_PATH}")
add_dependencies(firewall_integration_test qxfwctl net_probe)

# The program itself on an X server of the test's own; its single-instance and companion
# events are the user's, like the installer tests'.
if(TARGET qltdifw AND TARGET qxfw)
  # One case, registered by hand: it holds two locks, the daemon's and the user's events.
  add_executable(prompt_end_to_end_test ${CMAKE_CURRENT_LIST_DIR}/prompt_end_to_end_test.cc)
  target_link_libraries(prompt_end_to_end_test PRIVATE qxfw_store GTest::gtest_main Threads::Threads)
  target_include_directories(prompt_end_to_end_test PRIVATE ${PROJECT_SOURCE_DIR}/src
    ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(prompt_end_to_end_test PRIVATE
    QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>" NET_PROBE_PATH="$<TARGET_FILE:net_probe>"
    QLTDIFW_PATH="$<TARGET_FILE:qltdifw>" QXFW_PATH="$<TARGET_FILE:qxfw>"
    COMPANION_PATH="$<TARGET_FILE:qxfw-companion>")
  add_dependencies(prompt_end_to_end_test qxfw qxfw-companion net_probe qltdifw)
  add_test(NAME integration.PromptEndToEndTest COMMAND prompt_end_to_end_test)
  set_tests_properties(integration.PromptEndToEndTest PROPERTIES LABELS integration TIMEOUT 300
    RESOURCE_LOCK "qltdifw;qxfw_companion_event")
endif()
