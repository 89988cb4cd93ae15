qxfw_add_test(NAME avlib_services_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quarantine_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/update_exchange_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/update_client_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/resident_repair_test.cc
  LIBS qxav_services qxav_update_server)
