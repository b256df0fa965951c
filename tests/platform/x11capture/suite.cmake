# Screen capture on a real X server: each test starts its own Xvfb (with picom, and where it
# says so openbox), so `xrandr --setmonitor` and window managers never leak between tests.
if(TARGET velurio_x11_capture)
  velurio_add_test_suite(velurio_x11capture_tests LABEL gui DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::x11_capture)
endif()
