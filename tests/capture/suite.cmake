# Screen capture on a real X server: each test starts its own Xvfb (with picom, and where it
# says so openbox), so `xrandr --setmonitor` and window managers never leak between tests.
if(TARGET velurio_app_capture AND TARGET velurio_x11_capture)
  velurio_add_test_suite(velurio_capture_tests LABEL gui DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::app_capture velurio::x11_capture Qt6::Core)
endif()
