qxfw_add_test(NAME store_damage_ctl_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_damage_ctl_test.cc
  LIBS qxfw_store OpenSSL::Crypto)
target_compile_definitions(store_damage_ctl_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(store_damage_ctl_test qxfwctl)
