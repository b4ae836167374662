vlm_add_benchmark(RouterLatencyBenchmark
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RouterLatencyBenchmark.cpp
  LIBS vlm_app_audio vlm_simulated_audio)
