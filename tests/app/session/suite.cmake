# The session coordinator in process, on the offscreen platform with an injected scheduler.
if(TARGET velurio_app_session)
  velurio_add_qt_test_suite(velurio_session_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                            LIBRARIES velurio::app_session)
endif()
