# The Ogg, MPEG audio and FLV splitters over arbitrary bytes: opening (page
# reader and header scan, tags and frame search, tag walk), seeking and the
# demux loop. The splitter sources are compiled into each target so that
# they carry the fuzzer's coverage. Run by hand, for example:
#   build/fuzz/fuzz/ogg_fuzz -max_len=65536 -max_total_time=300 tests/data/*.ogg
#   build/fuzz/fuzz/mpa_fuzz -max_len=32768 tests/data/*.mp3 tests/data/*.mp2 tests/data/*.aac
#   build/fuzz/fuzz/flv_fuzz -max_len=65536 tests/data/*.flv
foreach(area ogg mpa flv)
  file(GLOB ${area}_fuzz_sources ${CMAKE_SOURCE_DIR}/splitters/${area}/*.cpp)
  if(NOT ${area}_fuzz_sources)
    continue()
  endif()
  add_executable(${area}_fuzz ${area}_fuzz.cpp ${${area}_fuzz_sources})
  target_compile_options(${area}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${area}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${area}_fuzz PRIVATE pellomar_options foundation dshow com win32)
endforeach()
