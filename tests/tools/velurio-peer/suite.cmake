# The simulated tablet's video path: frames from the project's own encoder, cut into datagrams,
# delivered out of order, reassembled and decoded by the tablet's decoder.
if(TARGET velurio_peer_lib AND TARGET velurio_ffmpeg)
  velurio_add_test_suite(velurio_peer_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio_peer_lib velurio::ffmpeg)
  if(TARGET velurio_peer_tests)
    target_include_directories(velurio_peer_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/platform/ffmpeg)
    # The HEVC cases open libx265, which leaks inside its encoder open (see the file).
    target_sources(velurio_peer_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/platform/ffmpeg/leak_suppressions.cpp)
  endif()
endif()
