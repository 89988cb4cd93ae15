qxfw_add_test(NAME store_rules_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rule_records_test.cc ${CMAKE_CURRENT_LIST_DIR}/db_manager_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/store_damage_test.cc
  LIBS qxfw_store OpenSSL::Crypto)
