# The video encoder on libavcodec. Every stream it emits is decoded by the ffmpeg command-line
# tool (installed by scripts/install-deps) as an independent check.
if(TARGET velurio_ffmpeg)
  velurio_add_test_suite(velurio_encoder_tests LABEL unit DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                         LIBRARIES velurio::ffmpeg)
endif()
