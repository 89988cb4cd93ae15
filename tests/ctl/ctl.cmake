qxfw_add_test(NAME qxfwctl_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/qxfwctl_test.cc
  LIBS qxfw_ctl_lib)
target_compile_definitions(qxfwctl_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(qxfwctl_test qxfwctl)

qxfw_add_test(NAME qxfwctl_help_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/qxfwctl_help_test.cc
  LIBS qxfw_ctl_lib)
target_compile_definitions(qxfwctl_help_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>"
                           QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(qxfwctl_help_test qxfwctl qxav dvengine32 qxfw_default_database)
