qxfw_add_test(NAME avlib_services_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quarantine_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/update_exchange_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/update_client_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/update_server_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/resident_repair_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/http_download_test.cc
  LIBS qxav_services qxav_update_server)

# The built library and qxfwctl, loaded and run as the program and users do.
qxfw_add_test(NAME avlib_service_exports_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_exports_test.cc
  LIBS qxav_update_server ${CMAKE_DL_LIBS})
target_compile_definitions(avlib_service_exports_test PRIVATE
  QXAV_LIBRARY_PATH="$<TARGET_FILE:qxav>" QXFWCTL_PATH="$<TARGET_FILE:qxfwctl>")
add_dependencies(avlib_service_exports_test qxav qxfwctl)

# FileScan's quarantine modes over the built engine.
qxfw_add_test(NAME avlib_scan_quarantine_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scan_quarantine_test.cc
  LIBS qxfw_vdb qxfw_platform PkgConfig::TEST_LIBARCHIVE ${CMAKE_DL_LIBS})
target_compile_definitions(avlib_scan_quarantine_test PRIVATE QXAV_BUILD_DIR="${PROJECT_BINARY_DIR}/av")
add_dependencies(avlib_scan_quarantine_test qxav dvengine32)
