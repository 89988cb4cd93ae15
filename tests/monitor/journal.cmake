qxfw_add_test(NAME monitor_journal_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_rows_test.cc
  LIBS qxfw_monitor_journal)
