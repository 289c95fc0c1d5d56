# The MP4 splitter benchmark runs the splitter in a filter graph.
if(TARGET mp4split_bench AND TARGET mp4)
  target_link_libraries(mp4split_bench PRIVATE mp4 dshow com win32)
endif()
