# The raw DTS/AC-3 source and the FLIC decoder.
if(TARGET dtsac3_bench AND TARGET dtsac3)
  target_link_libraries(dtsac3_bench PRIVATE dtsac3 dshow com win32)
endif()
if(TARGET flic_bench AND TARGET flic)
  target_link_libraries(flic_bench PRIVATE flic)
endif()
