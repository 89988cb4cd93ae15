# qxfwctl's antivirus commands, with the product's own database embedded.
file(READ ${PROJECT_SOURCE_DIR}/outside/dvengine/db/qxfw.ndb QXFW_DEFAULT_DATABASE)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/default_database.cc
     CONTENT "#include \"ctl/av_commands.h\"\nnamespace qxfw::ctl {\nconst char kDefaultDatabase[] = R\"qxdb(@QXFW_DEFAULT_DATABASE@)qxdb\";\n}\n"
     @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/outside/dvengine/db/qxfw.ndb)
target_sources(qxfw_ctl_lib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/av_commands.cc
  ${CMAKE_CURRENT_LIST_DIR}/qxav_library.cc
  ${CMAKE_CURRENT_BINARY_DIR}/default_database.cc
)
target_link_libraries(qxfw_ctl_lib PUBLIC qxfw_vdb ${CMAKE_DL_LIBS})
target_include_directories(qxfw_ctl_lib PUBLIC ${PROJECT_SOURCE_DIR}/outside)

# The build tree's antivirus folder gets the product's database next to the engine.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/av/qxfw.vdb
  COMMAND qxfwctl av default ${PROJECT_BINARY_DIR}/av/qxfw.vdb
  DEPENDS qxfwctl ${PROJECT_SOURCE_DIR}/outside/dvengine/db/qxfw.ndb)
add_custom_target(qxfw_default_database ALL DEPENDS ${PROJECT_BINARY_DIR}/av/qxfw.vdb)
