# The `velurio` executable as a user runs it, on the test X server (with a tray host where a test
# starts one).
if(TARGET velurio)
  velurio_add_gui_test_suite(velurio_lifecycle_gui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                             LIBRARIES Qt6::Widgets)
  if(TARGET velurio_lifecycle_gui_tests)
    add_dependencies(velurio_lifecycle_gui_tests velurio)
  endif()
endif()

# The quit path in process, with the session rig of the session tests (offscreen, a loopback
# server, the local platform).
if(TARGET velurio_app_lifecycle AND TARGET velurio-devplatform)
  velurio_add_qt_test_suite(velurio_lifecycle_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                            LIBRARIES velurio::app_lifecycle)
  if(TARGET velurio_lifecycle_tests)
    add_dependencies(velurio_lifecycle_tests velurio-devplatform)
    target_include_directories(velurio_lifecycle_tests PRIVATE
      ${PROJECT_SOURCE_DIR}/tests/app/web ${PROJECT_SOURCE_DIR}/tests/app/session)
    target_compile_definitions(velurio_lifecycle_tests PRIVATE
      VELURIO_DEVPLATFORM_PATH="$<TARGET_FILE:velurio-devplatform>")
  endif()
endif()
