qxfw_add_bench(NAME db_manager_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/db_manager_bench.cc LIBS qxfw_store)
target_include_directories(db_manager_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
