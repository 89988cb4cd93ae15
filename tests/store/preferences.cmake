qxfw_add_test(NAME preferences_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/preferences_test.cc ${CMAKE_CURRENT_LIST_DIR}/registry_test.cc
  LIBS qxfw_prefs)
