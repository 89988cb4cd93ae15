# Quarantine, signature update client and resident repair of the antivirus library: a static
# library of the internals (linked into libqxav.so and the tests) and the C exports, no Qt.
find_package(CURL REQUIRED)

add_library(qxav_services STATIC
  ${CMAKE_CURRENT_LIST_DIR}/http_download.cc
  ${CMAKE_CURRENT_LIST_DIR}/quarantine.cc
  ${CMAKE_CURRENT_LIST_DIR}/resident_repair.cc
  ${CMAKE_CURRENT_LIST_DIR}/update_client.cc
  ${CMAKE_CURRENT_LIST_DIR}/update_exchange.cc
)
target_include_directories(qxav_services PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxav_services PUBLIC qxfw_platform CURL::libcurl)

target_sources(qxav PRIVATE ${CMAKE_CURRENT_LIST_DIR}/services_exports.cc)
target_link_libraries(qxav PRIVATE qxav_services)
