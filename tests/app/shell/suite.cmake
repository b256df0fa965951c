# The shell: toolbar, status pin, shortcuts, recorder and tray. Unit tests run on the offscreen
# platform; window tests on the X server of scripts/services.d/30-xvfb.sh with real key grabs,
# xdotool input and a tray host (trayer, started by the tests themselves).
if(TARGET velurio_app_session)
  velurio_add_qt_test_suite(velurio_shell_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                            LIBRARIES velurio::app_shell)
  pkg_check_modules(VELURIO_SHELL_TEST_XCB REQUIRED IMPORTED_TARGET xcb)
  velurio_add_gui_test_suite(velurio_shell_gui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/gui
                             LIBRARIES velurio::app_session PkgConfig::VELURIO_SHELL_TEST_XCB)
endif()
