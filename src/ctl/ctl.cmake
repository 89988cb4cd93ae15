add_library(qxfw_ctl_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/command_help.cc
  ${CMAKE_CURRENT_LIST_DIR}/ctl_support.cc
  ${CMAKE_CURRENT_LIST_DIR}/json_writer.cc
  ${CMAKE_CURRENT_LIST_DIR}/monitor_commands.cc
  ${CMAKE_CURRENT_LIST_DIR}/program_link.cc
  ${CMAKE_CURRENT_LIST_DIR}/rules_commands.cc
)
target_include_directories(qxfw_ctl_lib PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_ctl_lib PUBLIC qxfw_store qxfw_monitor_net qxfw_monitor_process
  qxfw_monitor_services qxfw_platform qxfw_shell)

add_executable(qxfwctl ${CMAKE_CURRENT_LIST_DIR}/main.cc)
target_link_libraries(qxfwctl PRIVATE qxfw_ctl_lib)

# Antivirus service commands: libqxav.so is loaded at run time; the quarantine listing reads
# the folder itself.
target_sources(qxfw_ctl_lib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/av_service_commands.cc)
target_link_libraries(qxfw_ctl_lib PUBLIC qxav_services ${CMAKE_DL_LIBS})
