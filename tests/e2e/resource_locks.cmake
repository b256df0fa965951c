# Included by CTest after the discovery of velurio_e2e_tests (see suite.cmake).
foreach(test ${velurio_e2e_tests_TESTS})
  set_tests_properties(${test} PROPERTIES RESOURCE_LOCK "x11-display;velurio_avahi;velurio_secret_service")
endforeach()
