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
if(TARGET velurio_app_transport AND TARGET velurio::avahi)
  velurio_add_test_suite(velurio_transport_service_tests LABEL service DIRECTORY ${transport_dir}/service
                         LIBRARIES velurio::app_transport)
  target_include_directories(velurio_transport_service_tests PRIVATE ${transport_dir}/support)
  target_compile_definitions(velurio_transport_service_tests PRIVATE
    VELURIO_MDNS_QUERY="${transport_dir}/service/mdns_txt_query.py")
  if(TARGET velurio-peer)
    add_dependencies(velurio_transport_service_tests velurio-peer)
    target_compile_definitions(velurio_transport_service_tests PRIVATE VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>")
  endif()
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
