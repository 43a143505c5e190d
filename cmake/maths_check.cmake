# The maths check: the engine's own maths functions against MPFR's correctly
# rounded results and against the system library, on the host only.
if(NOT CMAKE_CROSSCOMPILING)
  pkg_check_modules(MPFR IMPORTED_TARGET mpfr)
endif()
if(MPFR_FOUND)
  add_executable(zimblo-maths-check ${PROJECT_SOURCE_DIR}/tools/maths-check/maths_check.cpp)
  target_link_libraries(zimblo-maths-check PRIVATE zimblo_speech PkgConfig::MPFR)
  if(ZIMBLO_TESTS)
    # The dense-sampled form; --exhaustive checks every float of each domain.
    add_test(NAME maths_check_dense COMMAND zimblo-maths-check)
  endif()
endif()
