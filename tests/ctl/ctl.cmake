qxfw_add_test(NAME qxfwctl_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/qxfwctl_test.cc
  LIBS qxfw_ctl_lib)
target_compile_definitions(qxfwctl_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(qxfwctl_test qxfwctl)
