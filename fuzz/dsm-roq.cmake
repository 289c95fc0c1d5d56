# The DSM file and splitter, and the RoQ splitter and decoders, over
# arbitrary bytes. The sources are compiled into each target so that they
# carry the fuzzer's coverage. Run by hand, for example (a DSM seed is made
# by the tests' writer: build/ci/tests/splitters/dsm/dsm-mux seed.dsm
# tests/data/mpeg4-ipp.m4v tests/data/mp3-44100.mp3):
#   build/fuzz/fuzz/dsm_fuzz -max_len=65536 -max_total_time=300 seeds/
#   build/fuzz/fuzz/roq_fuzz -max_len=65536 -max_total_time=300 tests/data/*.roq
foreach(area dsm roq)
  file(GLOB ${area}_fuzz_sources ${CMAKE_SOURCE_DIR}/splitters/${area}/*.cpp)
  if(NOT ${area}_fuzz_sources)
    continue()
  endif()
  add_executable(${area}_fuzz ${area}_fuzz.cpp ${${area}_fuzz_sources})
  target_compile_options(${area}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${area}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${area}_fuzz PRIVATE pellomar_options foundation dshow com win32)
endforeach()
