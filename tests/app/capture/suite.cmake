# The capture engine and the slide monitor, on real X servers the tests start themselves (see
# tests/support/x_session.h) and with stand-in backends.
if(TARGET velurio_app_capture AND TARGET velurio_x11_capture)
  velurio_add_test_suite(velurio_capture_tests LABEL gui DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::app_capture velurio::x11_capture Qt6::Core)
endif()
