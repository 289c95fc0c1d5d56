# Every still-image writer over pictures and settings made from the input.
# The writers are compiled into the target, so that they carry the fuzzer's
# coverage. Run with
#   build/fuzz/fuzz/imagewriter_fuzz -max_len=2048
file(GLOB imagewriter_fuzz_sources ${CMAKE_SOURCE_DIR}/imagewriter/*.cpp)
add_executable(imagewriter_fuzz imagewriter_fuzz.cpp ${imagewriter_fuzz_sources})
target_compile_options(imagewriter_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(imagewriter_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(TIFF REQUIRED)
pkg_check_modules(IMAGEWRITER_OPENJP2 REQUIRED IMPORTED_TARGET libopenjp2)
target_link_libraries(imagewriter_fuzz PRIVATE pellomar_options JPEG::JPEG PNG::PNG TIFF::TIFF
                      PkgConfig::IMAGEWRITER_OPENJP2)
