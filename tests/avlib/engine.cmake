# The engine half of the antivirus library: the library's exports over the built engine.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TEST_LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
qxfw_add_test(NAME qxav_engine_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cc ${CMAKE_CURRENT_LIST_DIR}/container_test.cc
  LIBS qxfw_vdb qxfw_platform PkgConfig::TEST_LIBARCHIVE ${CMAKE_DL_LIBS})
target_compile_definitions(qxav_engine_test PRIVATE QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(qxav_engine_test qxav dvengine32)

qxfw_add_test(NAME vdb_header_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/vdb_header_test.cc
  LIBS qxfw_vdb qxfw_platform)

qxfw_add_test(NAME host_io_table_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_io_table_test.cc
  LIBS qxav_core)
