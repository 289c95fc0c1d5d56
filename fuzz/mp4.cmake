# The MP4 atom library and splitter, compiled into the target so that they
# carry the fuzzer's coverage. Seed with the MP4 family samples:
#   ninja mp4_fuzz_corpus
#   build/fuzz/fuzz/mp4_fuzz -max_len=262144 build/fuzz/fuzz/corpus/mp4
find_package(ZLIB REQUIRED)
file(GLOB mp4_fuzz_sources ${CMAKE_SOURCE_DIR}/mp4/*.cpp)
add_executable(mp4_fuzz mp4_fuzz.cpp ${mp4_fuzz_sources})
target_compile_options(mp4_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(mp4_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(mp4_fuzz PRIVATE pellomar_options foundation dshow com win32 ZLIB::ZLIB)
file(GLOB mp4_seeds ${CMAKE_SOURCE_DIR}/tests/data/*.mp4 ${CMAKE_SOURCE_DIR}/tests/data/*.mov
     ${CMAKE_SOURCE_DIR}/tests/data/*.3gp ${CMAKE_SOURCE_DIR}/tests/data/*.3g2)
add_custom_target(mp4_fuzz_corpus
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/corpus/mp4
  COMMAND ${CMAKE_COMMAND} -E copy ${mp4_seeds} ${CMAKE_CURRENT_BINARY_DIR}/corpus/mp4
  COMMENT "Seeding the MP4 corpus from tests/data")
