# The embedded song's quality gates: its structure read back from the compiled bytes and an
# offline render of the whole song measured for clipping, loudness, gaps and stereo width.
if(TARGET zimblo_data)
  zimblo_tests(song zimblo_player zimblo_data)
endif()
