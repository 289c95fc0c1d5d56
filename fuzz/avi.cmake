# The AVI file reader over arbitrary bytes, compiled into the target with
# the reader below it so that both carry the fuzzer's coverage. Seed with
#   ninja avifile_fuzz_corpus
#   build/fuzz/fuzz/avifile_fuzz -max_len=65536 build/fuzz/fuzz/corpus/avifile
if(EXISTS ${CMAKE_SOURCE_DIR}/splitters/avi/AviFile.cpp)
  add_executable(avifile_fuzz avifile_fuzz.cpp ${CMAKE_SOURCE_DIR}/splitters/avi/AviFile.cpp
                 ${CMAKE_SOURCE_DIR}/splitters/avi/AviPlot.cpp ${CMAKE_SOURCE_DIR}/foundation/BaseSplitterFile.cpp)
  target_compile_options(avifile_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(avifile_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(avifile_fuzz PRIVATE pellomar_options dshow)
  file(GLOB avifile_seeds ${CMAKE_SOURCE_DIR}/tests/data/*.avi)
  add_custom_target(avifile_fuzz_corpus
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/corpus/avifile
    COMMAND ${CMAKE_COMMAND} -E copy ${avifile_seeds} ${CMAKE_CURRENT_BINARY_DIR}/corpus/avifile
    COMMENT "Seeding the AVI file reader corpus from tests/data")
endif()
