# The session coordinator in process, on the offscreen platform with an injected scheduler: a
# real session server on loopback with test tablets over TLS, and the real local platform
# (velurio-devplatform) where the session talks to the platform.
if(TARGET velurio_app_session)
  velurio_add_qt_test_suite(velurio_session_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                            LIBRARIES velurio::app_session)
  if(TARGET velurio_session_tests AND TARGET velurio-devplatform)
    add_dependencies(velurio_session_tests velurio-devplatform)
    target_include_directories(velurio_session_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/web)
    # The simulated tablet's ink journal, driven in process against the coordinator.
    if(TARGET velurio_peer_ink)
      target_link_libraries(velurio_session_tests PRIVATE velurio_peer_ink)
    endif()
    target_compile_definitions(velurio_session_tests PRIVATE
      VELURIO_DEVPLATFORM_PATH="$<TARGET_FILE:velurio-devplatform>")
  endif()
endif()
