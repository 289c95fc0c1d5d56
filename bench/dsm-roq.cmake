# The RoQ video decoding benchmark needs the RoQ library.
if(TARGET roqdec_bench AND TARGET roq)
  target_link_libraries(roqdec_bench PRIVATE roq dshow com win32)
endif()
