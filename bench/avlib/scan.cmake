find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
qxfw_add_bench(NAME scan_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scan_bench.cc
  LIBS qxfw_vdb PkgConfig::BENCH_LIBARCHIVE ${CMAKE_DL_LIBS})
target_compile_definitions(scan_bench PRIVATE QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(scan_bench qxav dvengine32)
