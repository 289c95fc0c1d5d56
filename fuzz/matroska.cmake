# The Matroska reader and file model over arbitrary bytes; the reader, the
# file model and the byte reader below them are compiled into the target so
# that they carry the fuzzer's coverage. Seed with
#   ninja -C build/fuzz matroska_fuzz_corpus
#   build/fuzz/fuzz/matroska_fuzz -max_len=65536 build/fuzz/fuzz/corpus/matroska
if(EXISTS ${CMAKE_SOURCE_DIR}/splitters/matroska/MatroskaFile.cpp)
  find_package(ZLIB REQUIRED)
  add_executable(matroska_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/matroska_fuzz.cpp
                 ${CMAKE_SOURCE_DIR}/splitters/matroska/MatroskaNode.cpp
                 ${CMAKE_SOURCE_DIR}/splitters/matroska/MatroskaFile.cpp
                 ${CMAKE_SOURCE_DIR}/splitters/matroska/MatroskaMediaTypes.cpp
                 ${CMAKE_SOURCE_DIR}/foundation/BaseSplitterFile.cpp)
  target_compile_options(matroska_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(matroska_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(matroska_fuzz PRIVATE pellomar_options foundation dshow ZLIB::ZLIB)
  file(GLOB matroska_seeds ${CMAKE_SOURCE_DIR}/tests/data/*.mkv)
  add_custom_target(matroska_fuzz_corpus
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/corpus/matroska
    COMMAND ${CMAKE_COMMAND} -E copy ${matroska_seeds} ${CMAKE_CURRENT_BINARY_DIR}/corpus/matroska
    COMMENT "Seeding the Matroska corpus from tests/data")
endif()
