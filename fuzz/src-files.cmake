# The FLIC decoder and the network source's stream reader over arbitrary
# bytes, their sources compiled into the targets so that they carry the
# fuzzer's coverage. Seed and run by hand:
#   ninja src_files_fuzz_corpus
#   build/fuzz/fuzz/flic_fuzz -max_len=65536 build/fuzz/fuzz/corpus/flic
#   build/fuzz/fuzz/icy_fuzz -max_len=16384 build/fuzz/fuzz/corpus/icy
if(EXISTS ${CMAKE_SOURCE_DIR}/sources/flic/FLICDecoder.cpp)
  add_executable(flic_fuzz flic_fuzz.cpp ${CMAKE_SOURCE_DIR}/sources/flic/FLICDecoder.cpp)
  target_compile_options(flic_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_options(flic_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_libraries(flic_fuzz PRIVATE pellomar_options)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/sources/shoutcast/ShoutcastSource.cpp)
  add_executable(icy_fuzz icy_fuzz.cpp ${CMAKE_SOURCE_DIR}/sources/shoutcast/ShoutcastSource.cpp)
  target_compile_options(icy_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_options(icy_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_libraries(icy_fuzz PRIVATE pellomar_options foundation dshow com win32)
endif()
if(TARGET flic_fuzz AND TARGET icy_fuzz)
  add_executable(src-files-seeds src_files_seeds.cpp)
  target_link_libraries(src-files-seeds PRIVATE pellomar_options Threads::Threads)
  add_custom_target(src_files_fuzz_corpus
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/corpus/flic
            ${CMAKE_CURRENT_BINARY_DIR}/corpus/icy
    COMMAND src-files-seeds ${CMAKE_SOURCE_DIR}/tests/data/mp3-44100.mp3 ${CMAKE_CURRENT_BINARY_DIR}/corpus/flic
            ${CMAKE_CURRENT_BINARY_DIR}/corpus/icy
    COMMENT "Seeding the FLIC and ICY corpora")
endif()
