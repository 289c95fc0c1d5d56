# The UDF lookup of the DVD title-set reader over a sparse disc made from
# the input (see udf_fuzz.cpp), compiled into the target so that it carries
# the fuzzer's coverage. Seed with a UDF image of a title set:
#   ninja udf_fuzz_corpus
#   build/fuzz/fuzz/udf_fuzz -max_len=16384 build/fuzz/fuzz/corpus/udf
if(EXISTS ${CMAKE_SOURCE_DIR}/sources/vts/Udf.cpp)
  add_executable(udf_fuzz udf_fuzz.cpp ${CMAKE_SOURCE_DIR}/sources/vts/Udf.cpp)
  target_compile_options(udf_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(udf_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(udf_fuzz PRIVATE pellomar_options win32)

  add_executable(udf_fuzz_seed udf_fuzz_seed.cpp)
  set(udf_corpus ${CMAKE_CURRENT_BINARY_DIR}/corpus/udf)
  set(udf_set ${CMAKE_CURRENT_BINARY_DIR}/udf-set)
  # A title set of one sector each: the lookup reads none of the data.
  file(WRITE ${udf_set}/VIDEO_TS/VTS_01_0.IFO "DVDVIDEO-VTS")
  string(REPEAT "V" 2048 udf_vob)
  file(WRITE ${udf_set}/VIDEO_TS/VTS_01_1.VOB "${udf_vob}")
  file(WRITE ${udf_set}/VIDEO_TS/VIDEO_TS.IFO "DVDVIDEO-VMG")
  add_custom_target(udf_fuzz_corpus
    COMMAND ${CMAKE_COMMAND} -E make_directory ${udf_corpus}
    COMMAND genisoimage -quiet -udf -o ${CMAKE_CURRENT_BINARY_DIR}/udf-set.img ${udf_set}
    COMMAND udf_fuzz_seed ${CMAKE_CURRENT_BINARY_DIR}/udf-set.img ${udf_corpus}/title-set
    DEPENDS udf_fuzz_seed
    COMMENT "Seeding the UDF lookup corpus with an image of a title set")
endif()
