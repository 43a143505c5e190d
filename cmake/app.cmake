# The real-time program zimblo, its console and keyboard, and the helpers the
# end-to-end audio check runs (scripts/e2e-audio.sh).
set(app_support_sources
  ${PROJECT_SOURCE_DIR}/src/app/console.cpp
  ${PROJECT_SOURCE_DIR}/src/app/key_scan.cpp
  ${PROJECT_SOURCE_DIR}/src/app/terminal.cpp)
add_library(zimblo_app_support STATIC ${app_support_sources})
target_include_directories(zimblo_app_support PUBLIC ${PROJECT_SOURCE_DIR}/src)

# Compares a capture or a recording with an offline render.
add_executable(zimblo-audio-compare ${PROJECT_SOURCE_DIR}/tools/e2e/audio_compare.cpp)

# The program needs the embedded song's bytes.
if(TARGET zimblo_data)
  add_executable(zimblo ${PROJECT_SOURCE_DIR}/src/app/main.cpp)
  target_link_libraries(zimblo PRIVATE zimblo_app_support zimblo_output zimblo_player zimblo_data)
endif()

zimblo_tests(app zimblo_app_support)
if(TARGET zimblo_app_tests AND TARGET zimblo)
  target_compile_definitions(zimblo_app_tests PRIVATE ZIMBLO_BIN="$<TARGET_FILE:zimblo>")
  add_dependencies(zimblo_app_tests zimblo)
endif()
