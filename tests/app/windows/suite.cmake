# The login, pairing and preferences windows. Unit tests on the offscreen platform against a
# stand-in shell model; window tests on the X server of scripts/services.d/30-xvfb.sh against the
# real session coordinator, the local platform (velurio-devplatform), the test Avahi daemon and a
# tray host, driven with xdotool.
if(TARGET velurio_app_windows)
  velurio_add_qt_test_suite(velurio_windows_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/unit
                            LIBRARIES velurio::app_windows)
endif()
if(TARGET velurio_app_lifecycle)
  velurio_add_gui_test_suite(velurio_windows_gui_tests DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/gui
                             LIBRARIES velurio::app_lifecycle)
  if(TARGET velurio_windows_gui_tests AND TARGET velurio-devplatform)
    add_dependencies(velurio_windows_gui_tests velurio-devplatform velurio-peer velurio)
    target_include_directories(velurio_windows_gui_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/app/web)
    target_compile_definitions(velurio_windows_gui_tests PRIVATE
      VELURIO_DEVPLATFORM_PATH="$<TARGET_FILE:velurio-devplatform>"
      VELURIO_APP_PATH="$<TARGET_FILE:velurio>"
      VELURIO_PEER_PATH="$<TARGET_FILE:velurio-peer>")
  endif()
endif()
