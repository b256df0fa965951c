# The `velurio` executable as a user runs it, on the test X server (with a tray host where a test
# starts one).
if(TARGET velurio)
  velurio_add_gui_test_suite(velurio_lifecycle_gui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                             LIBRARIES Qt6::Widgets)
  if(TARGET velurio_lifecycle_gui_tests)
    add_dependencies(velurio_lifecycle_gui_tests velurio)
  endif()
endif()
