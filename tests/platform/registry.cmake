qxfw_add_test(NAME registry_store_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_store_test.cc
  LIBS qxfw_platform)
qxfw_add_test(NAME ini_file_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ini_file_test.cc
  LIBS qxfw_platform)
