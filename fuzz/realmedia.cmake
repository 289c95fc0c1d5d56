# The RealMedia file reader and the output pin's re-framing over arbitrary
# bytes, compiled into the target so that they carry the fuzzer's coverage.
# Seed with
#   ninja realmedia_fuzz_corpus
#   build/fuzz/fuzz/realmedia_fuzz -max_len=65536 build/fuzz/fuzz/corpus/realmedia
if(EXISTS ${CMAKE_SOURCE_DIR}/splitters/realmedia/RMFile.cpp)
  add_executable(realmedia_fuzz realmedia_fuzz.cpp ${CMAKE_SOURCE_DIR}/splitters/realmedia/RMFile.cpp
                 ${CMAKE_SOURCE_DIR}/foundation/BaseSplitterFile.cpp)
  target_compile_options(realmedia_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(realmedia_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(realmedia_fuzz PRIVATE pellomar_options dshow)
  file(GLOB realmedia_seeds ${CMAKE_SOURCE_DIR}/tests/data/*.rm)
  add_custom_target(realmedia_fuzz_corpus
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/corpus/realmedia
    COMMAND ${CMAKE_COMMAND} -E copy ${realmedia_seeds} ${CMAKE_CURRENT_BINARY_DIR}/corpus/realmedia
    COMMENT "Seeding the RealMedia corpus from tests/data")
endif()
