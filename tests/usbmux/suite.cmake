# usbmuxd client. Unit: the codec, the address rule, the socket's error paths against
# in-process fake servers, and the client against the stand-in tool (velurio-usbmuxd) with a
# simulated tablet on loopback. Service: the client against the real usbmuxd daemon that
# scripts/services.d/50-usbmuxd.sh starts.
set(usbmux_tests_dir ${CMAKE_CURRENT_LIST_DIR})
velurio_add_test_suite(velurio_usbmux_tests LABEL unit DIRECTORY ${usbmux_tests_dir}/unit
                       LIBRARIES velurio::usbmux Threads::Threads)
target_include_directories(velurio_usbmux_tests PRIVATE ${usbmux_tests_dir}/support)
add_dependencies(velurio_usbmux_tests velurio-usbmuxd)
target_compile_definitions(velurio_usbmux_tests PRIVATE
  VELURIO_USBMUXD_TOOL="$<TARGET_FILE:velurio-usbmuxd>")

velurio_add_test_suite(velurio_usbmux_service_tests LABEL service DIRECTORY ${usbmux_tests_dir}/service
                       LIBRARIES velurio::usbmux)
if(TARGET velurio_usbmux_service_tests)
  target_include_directories(velurio_usbmux_service_tests PRIVATE ${usbmux_tests_dir}/support)
endif()
