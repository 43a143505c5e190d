# The live player zimblo-play: its units in a library (tested without a
# terminal or a sound device) and the program.
if(TARGET zimblo_songc_lib AND TARGET zimblo_data AND TARGET zimblo_output AND TARGET zimblo_app_support)
  file(GLOB play_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/play/*.cpp)
  list(REMOVE_ITEM play_sources ${PROJECT_SOURCE_DIR}/tools/play/main.cpp)
  add_library(zimblo_play_lib STATIC ${play_sources})
  target_include_directories(zimblo_play_lib PUBLIC ${PROJECT_SOURCE_DIR}/tools/play)
  target_link_libraries(zimblo_play_lib PUBLIC zimblo_songc_lib zimblo_player zimblo_data)

  add_executable(zimblo-play ${PROJECT_SOURCE_DIR}/tools/play/main.cpp)
  target_link_libraries(zimblo-play PRIVATE zimblo_play_lib zimblo_app_support zimblo_output)

  zimblo_tests(play zimblo_play_lib)
  if(TARGET zimblo_play_tests)
    target_compile_definitions(zimblo_play_tests PRIVATE ZIMBLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  endif()
endif()
