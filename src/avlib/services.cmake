# Quarantine, signature update client and resident repair of the antivirus library: a static
# library of the internals (linked into libqxav.so and the tests) and the C exports, no Qt.
find_package(CURL REQUIRED)

add_library(qxav_services STATIC
  ${CMAKE_CURRENT_LIST_DIR}/http_download.cc
  ${CMAKE_CURRENT_LIST_DIR}/quarantine.cc
  ${CMAKE_CURRENT_LIST_DIR}/resident_repair.cc
  ${CMAKE_CURRENT_LIST_DIR}/update_client.cc
  ${CMAKE_CURRENT_LIST_DIR}/update_exchange.cc
  ${CMAKE_CURRENT_LIST_DIR}/update_signature.cc
)
target_include_directories(qxav_services PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxav_services PUBLIC qxfw_platform CURL::libcurl OpenSSL::Crypto)
# Public keys (hexadecimal, separated by ",") whose signatures every update accepts, built into
# the library; the installer's dvscan.ini may name more. Empty: only the configured keys.
set(QXAV_UPDATE_KEYS "" CACHE STRING "Ed25519 public keys pinned in libqxav.so for updates")
if(QXAV_UPDATE_KEYS)
  target_compile_definitions(qxav_services PRIVATE QXAV_PINNED_UPDATE_KEYS="${QXAV_UPDATE_KEYS}")
endif()
# The installer's update configuration: the system folder's dvscan.ini names the update server
# and the trusted keys. Without a server the product has none (no default address).
set(QXAV_UPDATE_SERVER "" CACHE STRING "update server address written to the installed dvscan.ini")
if(QXAV_UPDATE_SERVER OR QXAV_UPDATE_KEYS)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/installed/dvscan.ini
       CONTENT "[update]\nserverIP=${QXAV_UPDATE_SERVER}\nkeys=${QXAV_UPDATE_KEYS}\n")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/installed/dvscan.ini DESTINATION lib/qxfw
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

target_sources(qxav PRIVATE ${CMAKE_CURRENT_LIST_DIR}/services_exports.cc)
target_link_libraries(qxav PRIVATE qxav_services)
