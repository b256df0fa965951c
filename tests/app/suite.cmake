# The app layer's tests. Unit tests need no display (they run on the offscreen platform);
# window tests need an X server with a compositor (scripts/services.d/30-xvfb.sh) and xdotool.
if(TARGET velurio_app)
  velurio_add_test_suite(velurio_app_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                         LIBRARIES velurio::app)
  # Window tests share one X server, pointer and keyboard focus: they hold the "x11-display"
  # resource lock so a parallel ctest never runs two of them at once.
  file(GLOB app_gui_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/gui/*.cpp)
  if(app_gui_sources)
    add_executable(velurio_app_gui_tests ${app_gui_sources})
    target_link_libraries(velurio_app_gui_tests PRIVATE velurio::app GTest::gtest GTest::gtest_main)
    target_compile_definitions(velurio_app_gui_tests PRIVATE VELURIO_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # The process test runs the real executable.
    add_dependencies(velurio_app_gui_tests velurio)
    velurio_set_warnings(velurio_app_gui_tests)
    gtest_discover_tests(velurio_app_gui_tests PROPERTIES LABELS gui RESOURCE_LOCK x11-display
                         DISCOVERY_TIMEOUT 60)
  endif()
  # Qt benchmarks need the app library, so they are their own executable beside velurio_bench.
  file(GLOB app_bench_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/app_*_bench.cpp)
  if(VELURIO_BUILD_BENCH AND app_bench_sources)
    add_executable(velurio_app_bench ${app_bench_sources})
    target_link_libraries(velurio_app_bench PRIVATE velurio::app benchmark::benchmark)
    velurio_set_warnings(velurio_app_bench)
  endif()
endif()
