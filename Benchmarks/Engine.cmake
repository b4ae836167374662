# The engine's render cost against a plain copy, and the resampler comparison
# behind the choice of speexdsp (Platform/AudioEngine/README.md).
find_package(PkgConfig REQUIRED)
pkg_check_modules(VLM_BENCH_SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(VLM_BENCH_SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
vlm_add_benchmark(EngineRenderBenchmark
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineRenderBenchmark.cpp
  LIBS vlm_audio_engine vlm_app_audio PkgConfig::VLM_BENCH_SOXR PkgConfig::VLM_BENCH_SPEEXDSP)
