// The client against the real usbmuxd daemon (no USB hardware attached), which
// scripts/services.d/50-usbmuxd.sh starts in a mount namespace of its own and names in
// VELURIO_USBMUXD_SOCKET. Run through scripts/with-services.
#include "usbmux/usbmux.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

namespace velurio {
namespace {

class RealDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* path = std::getenv("VELURIO_USBMUXD_SOCKET");
        ASSERT_NE(path, nullptr) << "no usbmuxd daemon: run the test through scripts/with-services "
                                    "(as root, with usbmuxd installed)";
        m_address = USBMuxAddress::unixSocket(path);
    }
    USBMuxAddress m_address;
};

TEST_F(RealDaemon, ListsNoDevicesWithoutHardware) {
    const auto devices = USBMux::usbDevices(m_address);
    ASSERT_TRUE(devices.ok()) << devices.error().message();
    EXPECT_TRUE(devices->empty());
}

TEST_F(RealDaemon, ConnectToAnAbsentDeviceIsRefused) {
    const auto socket = USBMux::connect(4242, 49271, m_address);
    ASSERT_FALSE(socket.ok());
    EXPECT_TRUE(socket.error().is(ECONNREFUSED)) << socket.error().message();
    EXPECT_EQ(socket.error().muxResult, USBMux::kResultBadDevice);
}

TEST_F(RealDaemon, AcceptsListenAndTheEnvironmentAddress) {
    // The same daemon reached through USBMUXD_SOCKET_ADDRESS, as a user would point us at it.
    ::setenv(USBMuxAddress::kEnvironmentVariable, m_address.toString().c_str(), 1);
    auto socket = USBMuxSocket::open();
    ::unsetenv(USBMuxAddress::kEnvironmentVariable);
    ASSERT_TRUE(socket.ok()) << socket.error().message();
    const auto reply = (*socket)->request(USBMux::listenRequest());
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(USBMux::resultNumber(reply->get()), USBMux::kResultOK);
}

}  // namespace
}  // namespace velurio
