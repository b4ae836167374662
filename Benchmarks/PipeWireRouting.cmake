# The program's routing through a real (private) PipeWire server against
# pw-loopback carrying the same audio in the same run: added latency at
# quanta 64 to 2048 as a voice-chat app records it, and CPU use while routing
# with the program's window shown and closed. Needs the packages of
# scripts/install-dependencies (pipewire, wireplumber, pw-loopback).
if(TARGET vlm_pipewire_audio AND TARGET vlm_app_audio AND TARGET vlm_app_ui)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(VLM_BENCH_PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
  file(GLOB vlm_bench_pipewire_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/PipeWire/*.cpp)
  vlm_add_benchmark(PipeWireRoutingBenchmark
    SOURCES ${vlm_bench_pipewire_sources} ${PROJECT_SOURCE_DIR}/Tests/Support/PipeWireClient.cpp
    LIBS vlm_pipewire_audio vlm_app_ui vlm_app_audio Qt6::Widgets PkgConfig::VLM_BENCH_PIPEWIRE)
  # PipeWire's headers use GNU extensions in their macros: keep their
  # warnings out of ours.
  get_target_property(vlm_bench_pipewire_includes PkgConfig::VLM_BENCH_PIPEWIRE INTERFACE_INCLUDE_DIRECTORIES)
  target_include_directories(PipeWireRoutingBenchmark SYSTEM PRIVATE ${vlm_bench_pipewire_includes})
  target_compile_definitions(PipeWireRoutingBenchmark PRIVATE VLM_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # The PipeWire client it shares with the tests.
  target_include_directories(PipeWireRoutingBenchmark PRIVATE ${PROJECT_SOURCE_DIR}/Tests)
endif()
