qxfw_add_bench(NAME process_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_bench.cc
  LIBS qxfw_monitor_process)
target_compile_definitions(process_bench PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(process_bench qxfwctl)
