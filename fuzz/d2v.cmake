# The D2V project reader and the D2V engine's picture decoding, with the
# engine and the shared picture decoder compiled into the targets so that
# they carry the fuzzer's coverage. Run by hand, for example:
#   build/fuzz/fuzz/d2vproject_fuzz -max_len=4096 DIR_OF_PROJECTS
#   build/fuzz/fuzz/d2vpicture_fuzz -max_len=65536 tests/data/d2v-cgop.m2v ...
# (d2v-make-project of the ci build writes projects to start from.)
if(EXISTS ${CMAKE_SOURCE_DIR}/sources/d2v/D2VProject.cpp)
  add_executable(d2vproject_fuzz d2vproject_fuzz.cpp ${CMAKE_SOURCE_DIR}/sources/d2v/D2VProject.cpp)
  target_compile_options(d2vproject_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(d2vproject_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(d2vproject_fuzz PRIVATE pellomar_options)

  file(GLOB d2v_engine_sources ${CMAKE_SOURCE_DIR}/sources/d2v/D2V*.cpp)
  list(FILTER d2v_engine_sources EXCLUDE REGEX "D2VSource\\.cpp$")
  add_executable(d2vpicture_fuzz d2vpicture_fuzz.cpp ${d2v_engine_sources}
                 ${CMAKE_SOURCE_DIR}/decoders/mpeg2video/Mpeg2Decoder.cpp
                 ${CMAKE_SOURCE_DIR}/decoders/mpeg2video/Mpeg2Dsp.cpp)
  target_compile_options(d2vpicture_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(d2vpicture_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(d2vpicture_fuzz PRIVATE pellomar_options foundation)
endif()
