# The QUIC engines (src/platform/quic): client and server engines talking in memory on a fake
# clock (handshakes, streams, datagrams, limits, loss), and once over real loopback UDP sockets.
if(TARGET velurio_platform_quic)
  velurio_add_test_suite(velurio_quic_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::platform_quic velurio::core)
  target_include_directories(velurio_quic_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
endif()
