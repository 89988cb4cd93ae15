qxfw_add_test(NAME avlib_services_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quarantine_test.cc
  LIBS qxav_services)
