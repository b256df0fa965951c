# Transport: the peer connection and the session server over real loopback sockets (unit), and
# the Bonjour record seen by a real Avahi daemon (service).
if(TARGET velurio_app_transport)
  set(transport_dir ${CMAKE_CURRENT_LIST_DIR})
  velurio_add_test_suite(velurio_transport_tests LABEL unit DIRECTORY ${transport_dir}/unit
                         LIBRARIES velurio::app_transport)
  target_include_directories(velurio_transport_tests PRIVATE ${transport_dir}/support)
endif()

# The simulated tablet drives a real server from another process.
if(TARGET velurio_transport_tests AND TARGET velurio-peer)
  add_dependencies(velurio_transport_tests velurio-peer)
  target_compile_definitions(velurio_transport_tests PRIVATE VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>")
endif()

# The advertisement as a real Avahi daemon publishes it (started by scripts/services.d/40-avahi.sh).
# The tests share that daemon and the host's name: they take a lock so they run one at a time.
if(TARGET velurio_app_transport AND TARGET velurio::avahi)
  file(GLOB transport_service_sources CONFIGURE_DEPENDS ${transport_dir}/service/*.cpp)
  add_executable(velurio_transport_service_tests ${transport_service_sources})
  target_link_libraries(velurio_transport_service_tests PRIVATE velurio::app_transport GTest::gtest GTest::gtest_main)
  target_include_directories(velurio_transport_service_tests PRIVATE ${transport_dir}/support)
  target_compile_definitions(velurio_transport_service_tests PRIVATE
    VELURIO_MDNS_QUERY="${transport_dir}/service/mdns_txt_query.py")
  if(TARGET velurio-peer)
    add_dependencies(velurio_transport_service_tests velurio-peer)
    target_compile_definitions(velurio_transport_service_tests PRIVATE VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>")
  endif()
  velurio_set_warnings(velurio_transport_service_tests)
  gtest_discover_tests(velurio_transport_service_tests DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS service RESOURCE_LOCK velurio_avahi TIMEOUT 120)
endif()

# A flood of connections against a live session (velurio-peer in other processes). Prints the
# host's peak memory and sockets.
if(TARGET velurio_app_transport AND TARGET velurio-peer)
  velurio_add_test_suite(velurio_transport_load_tests LABEL unit DIRECTORY ${transport_dir}/load
                         LIBRARIES velurio::app_transport)
  target_include_directories(velurio_transport_load_tests PRIVATE ${transport_dir}/support)
  add_dependencies(velurio_transport_load_tests velurio-peer)
  target_compile_definitions(velurio_transport_load_tests PRIVATE VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>")
endif()

# A tablet that vanishes (its packets dropped) is closed once the user timeout runs out. It needs
# a network namespace of its own (tests/app/transport/private_netns.sh) and a short timeout.
if(TARGET velurio_transport_tests AND TARGET velurio-peer)
  add_test(NAME transport.vanished_tablet
           COMMAND bash ${transport_dir}/private_netns.sh
                   $<TARGET_FILE:velurio_transport_tests> --gtest_filter=VanishedTablet.*)
  set_tests_properties(transport.vanished_tablet PROPERTIES LABELS unit TIMEOUT 120
    ENVIRONMENT "VELURIO_TCP_USER_TIMEOUT_MS=2000")
endif()

# The USB connector's tests drive the usbmuxd stand-in.
if(TARGET velurio_transport_tests AND TARGET velurio-usbmuxd)
  add_dependencies(velurio_transport_tests velurio-usbmuxd)
  target_compile_definitions(velurio_transport_tests PRIVATE
    VELURIO_USBMUXD_TOOL="$<TARGET_FILE:velurio-usbmuxd>")
endif()

# The USB connector against the real usbmuxd daemon (started by scripts/services.d/50-usbmuxd.sh).
if(TARGET velurio_app_transport)
  velurio_add_test_suite(velurio_transport_usb_service_tests LABEL service
                         DIRECTORY ${transport_dir}/usb_service LIBRARIES velurio::app_transport)
  target_include_directories(velurio_transport_usb_service_tests PRIVATE ${transport_dir}/support)
endif()

# A 5 s blackout shorter than the (default) user timeout keeps the session.
if(TARGET velurio_transport_tests AND TARGET velurio-peer)
  add_test(NAME transport.blackout
           COMMAND bash ${transport_dir}/private_netns.sh
                   $<TARGET_FILE:velurio_transport_tests> --gtest_filter=Blackout.*)
  set_tests_properties(transport.blackout PROPERTIES LABELS "unit;faults" TIMEOUT 120)
endif()
