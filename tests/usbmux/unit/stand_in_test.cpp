// The client against the stand-in service (tools/velurio-usbmuxd) with a simulated tablet
// listening on loopback: device lists, refusals, the byte pipe after Connect, and Listen.
#include "usbmux/usbmux.h"
#include "usbmux_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>

namespace velurio {
namespace {

using test::Bytes;

class StandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        m_process = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{VELURIO_USBMUXD_TOOL, "--socket", m_dir.file("usbmuxd"),
                                     "--forward", std::to_string(m_tablet.port())});
        ASSERT_TRUE(m_process->waitFor("listening " + m_dir.file("usbmuxd")));
    }
    void command(const std::string& line, const std::string& expected) {
        m_process->send(line);
        ASSERT_TRUE(m_process->waitFor(expected)) << line;
    }
    USBMuxAddress address() const { return USBMuxAddress::unixSocket(m_dir.file("usbmuxd")); }

    test::TempDir m_dir;
    test::LoopbackListener m_tablet;
    std::unique_ptr<test::ChildProcess> m_process;
};

TEST_F(StandIn, ListsOnlyDevicesOnTheCable) {
    auto devices = USBMux::usbDevices(address());
    ASSERT_TRUE(devices.ok()) << devices.error().message();
    EXPECT_TRUE(devices->empty());

    command("attach 4 SERIAL-A", "attached 4");
    command("attach 2 SERIAL-B network", "attached 2");
    command("attach 9 SERIAL-C", "attached 9");
    devices = USBMux::usbDevices(address());
    ASSERT_TRUE(devices.ok());
    EXPECT_EQ(*devices, (std::vector<std::uint32_t>{4, 9}));

    command("detach 4", "detached 4");
    devices = USBMux::usbDevices(address());
    ASSERT_TRUE(devices.ok());
    EXPECT_EQ(*devices, (std::vector<std::uint32_t>{9}));
}

TEST_F(StandIn, RefusalsCarryTheServiceResult) {
    command("attach 1 S1 refuse", "attached 1");
    command("attach 2 S2", "attached 2");
    const struct {
        std::uint32_t device;
        std::uint16_t port;
        std::int64_t result;
    } cases[] = {{1, 49271, 3}, {2, 80, 3}, {3, 49271, 2}};
    for (const auto& c : cases) {
        const auto socket = USBMux::connect(c.device, c.port, address());
        ASSERT_FALSE(socket.ok());
        EXPECT_TRUE(socket.error().is(ECONNREFUSED)) << socket.error().message();
        EXPECT_EQ(socket.error().muxResult, c.result) << c.device << ":" << c.port;
    }
}

TEST_F(StandIn, ConnectBridgesBytesBothWaysUntilEitherEnd) {
    command("attach 5 TABLET", "attached 5");
    auto connected = USBMux::connect(5, 49271, address());
    ASSERT_TRUE(connected.ok()) << connected.error().message();
    USBMuxSocket& device = **connected;
    const int tablet = m_tablet.accept();
    ASSERT_GE(tablet, 0);

    // More than any socket buffer in one go, so the pipe's flow control is exercised.
    Bytes upstream(3 * 1024 * 1024);
    std::iota(upstream.begin(), upstream.end(), std::uint8_t{0});
    std::thread writer([&] {
        EXPECT_TRUE(device.write(upstream).ok());
        ::shutdown(device.nativeHandle(), SHUT_WR);  // the host is done sending
    });
    const Bytes atTablet = test::readUpTo(tablet, upstream.size() + 1);  // until the end
    writer.join();
    EXPECT_EQ(atTablet.size(), upstream.size());
    EXPECT_TRUE(atTablet == upstream);

    // The other direction still works after the half-close, and its end reaches the host.
    ASSERT_TRUE(test::writeAll(tablet, test::toBytes("answer")));
    ::close(tablet);
    const auto answer = device.readExactly(6);
    ASSERT_TRUE(answer.ok()) << answer.error().message();
    EXPECT_EQ(*answer, test::toBytes("answer"));
    const auto end = device.read(10);
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
    EXPECT_TRUE(m_process->waitFor("bridge 5 closed"));
}

TEST_F(StandIn, DetachingTheDeviceEndsItsStream) {
    command("attach 6 TABLET", "attached 6");
    auto connected = USBMux::connect(6, 49271, address());
    ASSERT_TRUE(connected.ok());
    const int tablet = m_tablet.accept();
    ASSERT_GE(tablet, 0);
    command("detach 6", "detached 6");
    const auto end = (*connected)->read(10);
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
    EXPECT_TRUE(test::readUpTo(tablet, 1).empty());  // the tablet's side is closed too
    ::close(tablet);
}

TEST_F(StandIn, ListenReportsAttachAndDetach) {
    command("attach 3 EARLY", "attached 3");
    auto socket = USBMuxSocket::open(address());
    ASSERT_TRUE(socket.ok());
    const auto reply = (*socket)->request(USBMux::listenRequest());
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(USBMux::resultNumber(reply->get()), 0);

    const auto expectMessage = [&](std::string_view type, std::uint32_t id) {
        const auto message = (*socket)->readMessage();
        ASSERT_TRUE(message.ok()) << message.error().message();
        EXPECT_EQ(PlistValue::stringForKey(message->get(), "MessageType"), type);
        EXPECT_EQ(PlistValue::integerForKey(message->get(), "DeviceID"), id);
    };
    expectMessage("Attached", 3);  // what was there before Listen
    command("attach 8 LATE", "attached 8");
    expectMessage("Attached", 8);
    command("detach 3", "detached 3");
    expectMessage("Detached", 3);
}

}  // namespace
}  // namespace velurio
