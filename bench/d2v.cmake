# The D2V engine benchmark writes its project with the tests' project writer.
if(TARGET d2v_bench AND TARGET d2v)
  target_sources(d2v_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/sources/d2v/D2VTestProject.cpp)
  target_link_libraries(d2v_bench PRIVATE d2v)
endif()
