# Identity and secrets of the app layer. The same store contract runs against the file store
# (unit) and against a real secret service through QtKeychain (service: needs the session bus
# and keyring that scripts/with-services starts).
if(TARGET velurio_app_identity)
  set(identity_dir ${CMAKE_CURRENT_LIST_DIR})
  velurio_add_test_suite(velurio_identity_tests LABEL unit DIRECTORY ${identity_dir}/unit
                         LIBRARIES velurio::app_identity velurio::keychain)
  velurio_add_test_suite(velurio_identity_service_tests LABEL service DIRECTORY ${identity_dir}/service
                         LIBRARIES velurio::app_identity velurio::keychain)
  foreach(suite velurio_identity_tests velurio_identity_service_tests)
    if(TARGET ${suite})
      target_include_directories(${suite} PRIVATE ${identity_dir}/support)
    endif()
  endforeach()
endif()
