# Quarantine and restore as root while a second user (uid 65534) changes the folders on the way.
qxfw_add_test(NAME avlib_quarantine_users_test LABEL integration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quarantine_users_test.cc
  LIBS qxfw_platform)
target_compile_definitions(avlib_quarantine_users_test PRIVATE
  QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av" QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(avlib_quarantine_users_test qxav dvengine32 qxfwctl)
