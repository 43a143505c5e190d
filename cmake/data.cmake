# The embedded song: compiled at build time from its readable sources under
# songs/embedded/, so that they are the single source of truth. The build tree
# gets embedded.song (for renders and checks) and a C++ source defining
# zimblo::data::kEmbeddedSong, compiled into zimblo_data.
#
# A build without the song compiler (ZIMBLO_PROGRAMS off, as for other processors) takes
# the bytes a host build generated: ZIMBLO_HOST_BUILD_DIR names that build's tree.
set(ZIMBLO_HOST_BUILD_DIR "" CACHE PATH "A host build whose generated embedded song to reuse")
if(NOT ZIMBLO_PROGRAMS)
  set(host_song_cpp ${ZIMBLO_HOST_BUILD_DIR}/generated/data/embedded_song.cpp)
  if(ZIMBLO_HOST_BUILD_DIR AND EXISTS ${host_song_cpp})
    set(ZIMBLO_EMBEDDED_SONG ${ZIMBLO_HOST_BUILD_DIR}/songs/embedded.song)
    add_library(zimblo_data STATIC ${host_song_cpp})
    target_include_directories(zimblo_data PUBLIC ${PROJECT_SOURCE_DIR}/src)
  endif()
elseif(EXISTS ${PROJECT_SOURCE_DIR}/songs/embedded/song.toml)
  file(GLOB_RECURSE embedded_song_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/songs/embedded/*)
  set(ZIMBLO_EMBEDDED_SONG ${PROJECT_BINARY_DIR}/songs/embedded.song)
  set(embedded_song_cpp ${PROJECT_BINARY_DIR}/generated/data/embedded_song.cpp)
  add_custom_command(
    OUTPUT ${ZIMBLO_EMBEDDED_SONG} ${embedded_song_cpp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/songs ${PROJECT_BINARY_DIR}/generated/data
    COMMAND zimblo-songc ${PROJECT_SOURCE_DIR}/songs/embedded/song.toml
            -o ${ZIMBLO_EMBEDDED_SONG} --cpp ${embedded_song_cpp}
    DEPENDS zimblo-songc ${embedded_song_sources}
    COMMENT "Compiling the embedded song from songs/embedded/"
    VERBATIM)
  add_custom_target(zimblo_embedded_song DEPENDS ${ZIMBLO_EMBEDDED_SONG} ${embedded_song_cpp})
  add_library(zimblo_data STATIC ${embedded_song_cpp})
  target_include_directories(zimblo_data PUBLIC ${PROJECT_SOURCE_DIR}/src)
  add_dependencies(zimblo_data zimblo_embedded_song)
endif()
