# Shared build settings and helpers for every target of the tree.

add_library(pellomar_options INTERFACE)
target_include_directories(pellomar_options INTERFACE ${CMAKE_SOURCE_DIR})
target_compile_options(pellomar_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wno-unused-parameter>)
target_compile_definitions(pellomar_options INTERFACE
  PELLOMAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

if(PELLOMAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# The fuzz preset instruments every library it builds, so that the fuzzers
# see coverage inside the code under test (decoders included) and the
# sanitizers check it; each fuzz target then links libFuzzer itself.
if(PELLOMAR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer: the streaming tests (platform graph, splitters, whole
# jobs) run under it in their own build (preset "tsan").
if(PELLOMAR_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# ccache, where it is installed, keeps rebuilds after a merge or a branch
# switch short; the build works the same without it.
find_program(PELLOMAR_CCACHE ccache)
if(PELLOMAR_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${PELLOMAR_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${PELLOMAR_CCACHE})
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# pellomar_library(NAME SOURCES... [LIBS libs...])
# One library per folder; folders below the tree root may include each other
# by path from the root ("platform/win32/Types.h").
function(pellomar_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PUBLIC pellomar_options ${ARG_LIBS})
endfunction()

# pellomar_test(NAME SOURCES... [LIBS libs...] [TIMEOUT seconds])
# A GoogleTest executable registered with ctest as one test.
function(pellomar_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE pellomar_options GTest::gtest GTest::gtest_main
                        GTest::gmock ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PELLOMAR_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data;PELLOMAR_REGISTRY_DIR=${CMAKE_BINARY_DIR}/test-registry/${name};ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;${PELLOMAR_TSAN_ENV}")
  set_property(GLOBAL APPEND PROPERTY PELLOMAR_TEST_TARGETS ${name})
  if(name MATCHES "${PELLOMAR_TSAN_TESTS}")
    set_tests_properties(${name} PROPERTIES LABELS tsan)
    set_property(GLOBAL APPEND PROPERTY PELLOMAR_TSAN_TARGETS ${name})
  endif()
endfunction()

# The suites that run under ThreadSanitizer (preset "tsan"): the platform
# graph's streaming, the splitters and the end-to-end jobs (label e2e).
string(CONCAT PELLOMAR_TSAN_TESTS
    "^(test_dshow_streaming|test_dshow_filter_graph|test_dshow_conventional_graph|test_dshow_async_source|"
    "test_render_file|test_base_splitter|test_base_video_filter|.*splitter.*)$")
set(PELLOMAR_TSAN_ENV "")
if(PELLOMAR_TSAN)
  set(PELLOMAR_TSAN_ENV
      "TSAN_OPTIONS=second_deadlock_stack=1:history_size=4:suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
endif()

# pellomar_folder_library(NAME [LIBS libs...])
# The library of the calling folder, made of every .cpp and .c file in it, so
# that adding a source file needs no edit of the folder's CMakeLists.txt.
function(pellomar_folder_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC pellomar_options ${ARG_LIBS})
endfunction()

# FFmpeg's libraries, for the encoders and muxers, the stand-in codecs and as
# a reference in tests.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET GLOBAL
  libavformat libavcodec libavutil libswscale libswresample)

# Every executable under a directory that is not a test suite: the tools
# the end-to-end cases use (sample writers and the like).
function(pellomar_collect_tools dir out)
  set(tools)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(suites GLOBAL PROPERTY PELLOMAR_TEST_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE" AND NOT target IN_LIST suites)
      list(APPEND tools ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    pellomar_collect_tools(${sub} sub_tools)
    list(APPEND tools ${sub_tools})
  endforeach()
  set(${out} ${tools} PARENT_SCOPE)
endfunction()
