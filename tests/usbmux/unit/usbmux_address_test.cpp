// USBMUXD_SOCKET_ADDRESS, read as the system's usbmuxd library reads it.
#include "usbmux/usbmux_address.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace velurio {
namespace {

TEST(USBMuxAddress, ParsesBothFormsAndFallsBackToTheDefault) {
    const USBMuxAddress fallback = USBMuxAddress::unixSocket("/var/run/usbmuxd");
    struct Case {
        const char* text;
        USBMuxAddress expected;
    };
    const Case cases[] = {
        {"UNIX:/tmp/mux", USBMuxAddress::unixSocket("/tmp/mux")},
        {"UNIX:relative:with:colons", USBMuxAddress::unixSocket("relative:with:colons")},
        {"UNIX:", fallback},
        {"unix:/tmp/mux", fallback},  // the prefix is case-sensitive; "/tmp/mux" is no port
        {"127.0.0.1:27015", USBMuxAddress::tcp("127.0.0.1", 27015)},
        {"mux.example:1", USBMuxAddress::tcp("mux.example", 1)},
        {"[::1]:27015", USBMuxAddress::tcp("::1", 27015)},
        {"::1:27015", USBMuxAddress::tcp("::1", 27015)},  // split at the last colon
        {"host:65535", USBMuxAddress::tcp("host", 65535)},
        {"host:65536", fallback},
        {"host:0", fallback},
        {"host:-1", fallback},
        {"host:27015x", fallback},
        {"host:", fallback},
        {":27015", fallback},
        {"[]:27015", fallback},
        {"/var/run/other", fallback},
        {"", fallback},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(USBMuxAddress::parse(c.text), c.expected) << c.text;
    }
}

TEST(USBMuxAddress, TextFormReadsBack) {
    for (const auto& address :
         {USBMuxAddress::unixSocket("/tmp/a b"), USBMuxAddress::tcp("::1", 27015),
          USBMuxAddress::tcp("localhost", 5)}) {
        EXPECT_EQ(USBMuxAddress::parse(address.toString()), address) << address.toString();
    }
}

TEST(USBMuxAddress, EnvironmentOverridesTheDefault) {
    const char* saved = std::getenv(USBMuxAddress::kEnvironmentVariable);
    const std::string previous = saved != nullptr ? saved : "";
    ::unsetenv(USBMuxAddress::kEnvironmentVariable);
    EXPECT_EQ(USBMuxAddress::fromEnvironment(), USBMuxAddress::unixSocket("/var/run/usbmuxd"));
    ::setenv(USBMuxAddress::kEnvironmentVariable, "UNIX:/tmp/elsewhere", 1);
    EXPECT_EQ(USBMuxAddress::fromEnvironment(), USBMuxAddress::unixSocket("/tmp/elsewhere"));
    if (saved != nullptr) {
        ::setenv(USBMuxAddress::kEnvironmentVariable, previous.c_str(), 1);
    } else {
        ::unsetenv(USBMuxAddress::kEnvironmentVariable);
    }
}

}  // namespace
}  // namespace velurio
