# The song compiler: its readers, checks and listing in a library, the
# zimblo-songc command, and their tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TOMLPLUSPLUS REQUIRED IMPORTED_TARGET tomlplusplus)
pkg_check_modules(SMF REQUIRED IMPORTED_TARGET smf)

file(GLOB songc_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/songc/*.cpp)
list(REMOVE_ITEM songc_sources ${PROJECT_SOURCE_DIR}/tools/songc/main.cpp)
include(${PROJECT_SOURCE_DIR}/cmake/songc_bank.cmake)
zimblo_songc_bank_source(songc_bank_cpp)
add_library(zimblo_songc_lib STATIC ${songc_sources} ${songc_bank_cpp})
target_include_directories(zimblo_songc_lib PUBLIC ${PROJECT_SOURCE_DIR}/tools/songc)
target_link_libraries(zimblo_songc_lib PUBLIC zimblo_player PRIVATE PkgConfig::TOMLPLUSPLUS PkgConfig::SMF)

add_executable(zimblo-songc ${PROJECT_SOURCE_DIR}/tools/songc/main.cpp)
target_link_libraries(zimblo-songc PRIVATE zimblo_songc_lib)

zimblo_tests(songc zimblo_songc_lib)
if(TARGET zimblo_songc_tests)
  # The MIDI test writes its files with the system's python3 and its mido module.
  find_program(ZIMBLO_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT ZIMBLO_SYSTEM_PYTHON)
    set(ZIMBLO_SYSTEM_PYTHON python3)
  endif()
  target_compile_definitions(zimblo_songc_tests PRIVATE
    ZIMBLO_SONGC_BIN="$<TARGET_FILE:zimblo-songc>"
    ZIMBLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZIMBLO_PYTHON="${ZIMBLO_SYSTEM_PYTHON}")
  add_dependencies(zimblo_songc_tests zimblo-songc)
  if(TARGET zimblo-render)
    target_compile_definitions(zimblo_songc_tests PRIVATE ZIMBLO_RENDER_BIN="$<TARGET_FILE:zimblo-render>")
    add_dependencies(zimblo_songc_tests zimblo-render)
  endif()
endif()
