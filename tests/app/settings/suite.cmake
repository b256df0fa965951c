if(TARGET velurio_app_settings)
  velurio_add_qt_test_suite(velurio_settings_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                            LIBRARIES velurio::app_settings)
endif()
