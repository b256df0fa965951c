# Look and feel: the texts derived from the account's state and the application icon resource.
if(TARGET velurio_app_ui)
  velurio_add_qt_test_suite(velurio_ui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                            LIBRARIES velurio::app_ui)
endif()
