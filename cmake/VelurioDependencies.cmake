# Every external dependency is found here, once, so that targets only name imported targets.
find_package(PkgConfig REQUIRED)
find_package(simdjson 3 REQUIRED)
find_package(fmt 9 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
# usbmuxd client: property lists (libplist-dev).
pkg_check_modules(libplist REQUIRED IMPORTED_TARGET libplist-2.0>=2.2)

if(VELURIO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
endif()
if(VELURIO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
if(VELURIO_BUILD_APP)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Network)
endif()
