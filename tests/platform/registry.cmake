qxfw_add_test(NAME registry_store_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_store_test.cc
  LIBS qxfw_platform)
