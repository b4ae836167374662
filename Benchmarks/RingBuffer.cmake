# The ring buffer's Write + Read throughput beside memcpy of the same bytes
# and boost::lockfree::spsc_queue carrying the same frames.
find_package(Boost 1.74 REQUIRED)
vlm_add_benchmark(RingBufferBenchmark
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RingBufferBenchmark.cpp
  LIBS vlm_app_audio Boost::headers)
