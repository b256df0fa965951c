# The shell's tests: toolbar, status pin, shortcuts, recorder and tray. Unit tests run on the
# offscreen platform (sharing the app tests' QApplication environment); window tests run on the
# X server of scripts/services.d/30-xvfb.sh with real key grabs, xdotool input and a tray host
# (trayer, started by the tests themselves).
if(TARGET velurio_app)
  velurio_add_test_suite(velurio_shell_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                         LIBRARIES velurio::app)
  target_sources(velurio_shell_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/unit/qt_test_environment.cpp)

  file(GLOB shell_gui_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/gui/*.cpp)
  if(shell_gui_sources)
    pkg_check_modules(VELURIO_SHELL_TEST_XCB REQUIRED IMPORTED_TARGET xcb)
    add_executable(velurio_shell_gui_tests ${shell_gui_sources}
                   ${PROJECT_SOURCE_DIR}/tests/app/gui/gui_test_environment.cpp)
    target_link_libraries(velurio_shell_gui_tests PRIVATE velurio::app PkgConfig::VELURIO_SHELL_TEST_XCB
                          GTest::gtest GTest::gtest_main)
    target_compile_definitions(velurio_shell_gui_tests PRIVATE VELURIO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                               VELURIO_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # The process test runs the real executable.
    add_dependencies(velurio_shell_gui_tests velurio)
    velurio_set_warnings(velurio_shell_gui_tests)
    # One X server, pointer and keyboard for all window tests: they never run in parallel.
    gtest_discover_tests(velurio_shell_gui_tests PROPERTIES LABELS gui RESOURCE_LOCK x11-display
                         DISCOVERY_TIMEOUT 60)
  endif()
endif()
