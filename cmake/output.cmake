# The streaming audio output: the ring-device interface, the output and its
# feeder thread, the ALSA device and the virtual device with its WAV capture.
find_package(Threads REQUIRED)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)

file(GLOB output_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/output/*.cpp)
add_library(zimblo_output STATIC ${output_sources})
target_include_directories(zimblo_output PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zimblo_output PUBLIC zimblo_dsp PkgConfig::ALSA Threads::Threads)

zimblo_tests(output zimblo_output)
