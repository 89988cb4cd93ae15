find_package(PkgConfig REQUIRED)
pkg_check_modules(CTL_LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
qxfw_add_test(NAME av_commands_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/av_commands_test.cc
  LIBS qxfw_platform qxfw_shell PkgConfig::CTL_LIBARCHIVE)
target_compile_definitions(av_commands_test PRIVATE QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>"
                           QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(av_commands_test qxfwctl qxav dvengine32)

qxfw_add_test(NAME qxav_library_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/qxav_library_test.cc
  LIBS qxfw_ctl_lib)
target_compile_definitions(qxav_library_test PRIVATE QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(qxav_library_test qxav dvengine32 qxfw_default_database)
