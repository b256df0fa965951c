# The app layer's tests. Unit tests need no display (they run on the offscreen platform);
# window tests need an X server with a compositor (scripts/services.d/30-xvfb.sh) and xdotool.
if(TARGET velurio_app)
  velurio_add_test_suite(velurio_app_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                         LIBRARIES velurio::app)
  velurio_add_test_suite(velurio_app_gui_tests LABEL gui DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/gui
                         LIBRARIES velurio::app)
  # Qt benchmarks need the app library, so they are their own executable beside velurio_bench.
  file(GLOB app_bench_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/app_*_bench.cpp)
  if(VELURIO_BUILD_BENCH AND app_bench_sources)
    add_executable(velurio_app_bench ${app_bench_sources})
    target_link_libraries(velurio_app_bench PRIVATE velurio::app benchmark::benchmark)
    velurio_set_warnings(velurio_app_bench)
  endif()
endif()
