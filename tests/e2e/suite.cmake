# End to end: the `velurio` executable signed in to a local platform (velurio-devplatform), with
# simulated tablets (velurio-peer) that find it over mDNS, each in its own process, under the
# X server, secret service and Avahi daemon of scripts/with-services. They share the X display
# with the window tests, the keyring with the identity tests and the Avahi daemon with the
# advertisement tests, so they hold all three locks.
if(TARGET velurio AND TARGET velurio-peer AND TARGET velurio-devplatform AND TARGET velurio-signin)
  set(e2e_dir ${CMAKE_CURRENT_LIST_DIR})
  file(GLOB e2e_sources CONFIGURE_DEPENDS ${e2e_dir}/*.cpp)
  add_executable(velurio_e2e_tests ${e2e_sources}
                 ${PROJECT_SOURCE_DIR}/tests/app/support/gui_test_environment.cpp)
  target_include_directories(velurio_e2e_tests PRIVATE ${e2e_dir}/support
                             ${PROJECT_SOURCE_DIR}/tests/support
                             ${PROJECT_SOURCE_DIR}/tests/app/support ${PROJECT_SOURCE_DIR}/tests/app/web)
  target_link_libraries(velurio_e2e_tests PRIVATE velurio::protocol Qt6::Widgets Qt6::Network
                        GTest::gtest GTest::gtest_main)
  target_compile_definitions(velurio_e2e_tests PRIVATE
    QT_NO_KEYWORDS
    VELURIO_BINARY_DIR="${PROJECT_BINARY_DIR}"
    VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>"
    VELURIO_SIGNIN_PATH="$<TARGET_FILE:velurio-signin>"
    VELURIO_DEVPLATFORM_PATH="$<TARGET_FILE:velurio-devplatform>"
    VELURIO_FRAME_CODE_SCRIPT="${PROJECT_SOURCE_DIR}/bench/e2e/frame_code.py")
  add_dependencies(velurio_e2e_tests velurio velurio-peer velurio-devplatform velurio-signin)
  if(TARGET velurio-usbmuxd)
    add_dependencies(velurio_e2e_tests velurio-usbmuxd)
    target_compile_definitions(velurio_e2e_tests PRIVATE
      VELURIO_USBMUXD_TOOL="$<TARGET_FILE:velurio-usbmuxd>")
  endif()
  velurio_set_warnings(velurio_e2e_tests)
  gtest_discover_tests(velurio_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e TIMEOUT 300)
  # Three locks: gtest_discover_tests cannot pass a list as one property value, so they are set
  # on the discovered tests by a file CTest includes after the discovery's own.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${e2e_dir}/resource_locks.cmake)
endif()

# The same system over a bad network: the tablets in a network namespace of their own, behind a
# link the tests make slow, lossy or dead (tests/support/impaired_link.sh).
if(TARGET velurio_e2e_tests)
  add_test(NAME e2e.impaired_link
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/support/impaired_link.sh
                   $<TARGET_FILE:velurio_e2e_tests> --gtest_filter=ImpairedLinkTest.*)
  set_tests_properties(e2e.impaired_link PROPERTIES LABELS "e2e;faults" TIMEOUT 600
    RESOURCE_LOCK "x11-display;velurio_avahi;velurio_secret_service")
endif()
