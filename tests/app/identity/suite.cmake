# Identity and secrets of the app layer. The same store contract runs against the file store
# (unit) and against a real secret service through QtKeychain (service: needs the session bus
# and keyring that scripts/with-services starts).
if(TARGET velurio_app_identity)
  set(identity_dir ${CMAKE_CURRENT_LIST_DIR})
  velurio_add_test_suite(velurio_identity_tests LABEL unit DIRECTORY ${identity_dir}/unit
                         LIBRARIES velurio::app_identity velurio::keychain)
  # The service tests share one keyring: they take a lock so parallel CTest runs them one at
  # a time (velurio_add_test_suite sets no lock, hence the explicit definition).
  file(GLOB identity_service_sources CONFIGURE_DEPENDS ${identity_dir}/service/*.cpp)
  add_executable(velurio_identity_service_tests ${identity_service_sources})
  target_link_libraries(velurio_identity_service_tests PRIVATE velurio::app_identity velurio::keychain
                        Qt6::DBus GTest::gtest GTest::gtest_main)
  velurio_set_warnings(velurio_identity_service_tests)
  gtest_discover_tests(velurio_identity_service_tests DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS service RESOURCE_LOCK velurio_secret_service)
  foreach(suite velurio_identity_tests velurio_identity_service_tests)
    if(TARGET ${suite})
      target_include_directories(${suite} PRIVATE ${identity_dir}/support)
    endif()
  endforeach()
endif()

# The choice of the file store needs a process that has no session bus at all.
if(TARGET velurio_identity_tests)
  add_test(NAME identity.no_secret_service
           COMMAND velurio_identity_tests --gtest_filter=SecretStoreChoiceWithoutBus.*)
  set_tests_properties(identity.no_secret_service PROPERTIES LABELS unit
    ENVIRONMENT "VELURIO_EXPECT_NO_SECRET_SERVICE=1;DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/velurio-no-bus;DISPLAY=;XDG_DATA_HOME=${PROJECT_BINARY_DIR}/identity-no-bus-data")
endif()

# A locked keyring cannot be unlocked again without a prompt: that test gets its own.
if(TARGET velurio_identity_service_tests)
  add_test(NAME identity.locked_keychain
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/private_keyring.sh
                   $<TARGET_FILE:velurio_identity_service_tests> --gtest_filter=LockedKeychain.*)
  set_tests_properties(identity.locked_keychain PROPERTIES LABELS service TIMEOUT 120)
endif()

# Launch shows no prompt: a keyring without a default collection, and a closed KDE wallet (a
# stand-in daemon on a bus that can start nothing else). Each needs a bus of its own.
if(TARGET velurio_identity_service_tests)
  foreach(case launch_no_default_collection:no-default-collection launch_closed_wallet:bus-only)
    string(REPLACE ":" ";" parts ${case})
    list(GET parts 0 name)
    list(GET parts 1 mode)
    add_test(NAME identity.${name}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/private_keyring.sh
                     $<TARGET_FILE:velurio_identity_service_tests> --gtest_filter=LaunchWithoutPrompt.*)
    set_tests_properties(identity.${name} PROPERTIES LABELS service TIMEOUT 120
      ENVIRONMENT "VELURIO_KEYRING_MODE=${mode}")
  endforeach()
endif()
