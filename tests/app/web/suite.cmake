# The platform client against the real local platform (velurio-devplatform, started by the
# tests on a free loopback port), and the local platform's own behaviour.
if(TARGET velurio_app_web AND TARGET velurio-devplatform)
  velurio_add_test_suite(velurio_web_tests LABEL service DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::app_web velurio::keychain velurio_devplatform_lib)
  if(TARGET velurio_web_tests)
    add_dependencies(velurio_web_tests velurio-devplatform)
    target_include_directories(velurio_web_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/identity/support)
    target_compile_definitions(velurio_web_tests PRIVATE
      VELURIO_DEVPLATFORM_PATH="$<TARGET_FILE:velurio-devplatform>")
  endif()
endif()
