# The overlay: canvas and PNG export on the offscreen platform (unit); the overlay window on a
# real X server with a compositor, real X input and root screenshots (gui).
if(TARGET velurio_app_session)
  velurio_add_qt_test_suite(velurio_overlay_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                            LIBRARIES velurio::app_overlay)
  velurio_add_gui_test_suite(velurio_overlay_gui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/gui
                             LIBRARIES velurio::app_session)
endif()
