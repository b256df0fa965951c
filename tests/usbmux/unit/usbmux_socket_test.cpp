// The client's socket against in-process fake services: what goes on the wire, how each kind of
// bad reply surfaces, and the close guard.
#include "usbmux/usbmux.h"
#include "usbmux_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

namespace velurio {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeMuxServer;
using test::headerBytes;

// A service that reads one request, keeps it, and answers with `reply` (then hangs up).
struct ScriptedService {
    explicit ScriptedService(Bytes reply)
        : server([this, reply = std::move(reply)](int fd) {
              request = test::readMessageBytes(fd);
              test::writeAll(fd, reply);
          }) {}
    USBMuxAddress address() const { return USBMuxAddress::unixSocket(server.path()); }
    Bytes request;
    FakeMuxServer server;
};

TEST(USBMuxSocket, RequestCarriesTheClientKeysWithTag1) {
    Plist list = PlistValue::dictionary();
    PlistValue::set(list.get(), "DeviceList", PlistValue::array());
    ScriptedService service(test::message(list.get(), 42));
    const auto devices = USBMux::usbDevices(service.address());
    ASSERT_TRUE(devices.ok()) << devices.error().message();
    EXPECT_TRUE(devices->empty());

    auto sent = USBMux::parseReply(service.request);
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(sent->header.tag, 1u);
    plist_t request = sent->dictionary.get();
    EXPECT_EQ(PlistValue::stringForKey(request, "MessageType"), "ListDevices");
    EXPECT_EQ(PlistValue::stringForKey(request, "ClientVersionString"), "Velurio");
    EXPECT_EQ(PlistValue::stringForKey(request, "ProgName"), "Velurio");
    EXPECT_EQ(PlistValue::integerForKey(request, "kLibUSBMuxVersion"), 3u);
}

TEST(USBMuxSocket, BadRepliesSurfaceAsTheirErrors) {
    const std::string notDictionary = "<plist version=\"1.0\"><string>x</string></plist>";
    Bytes arrayReply = headerBytes(static_cast<std::uint32_t>(16 + notDictionary.size()), 1, 8, 1);
    arrayReply.insert(arrayReply.end(), notDictionary.begin(), notDictionary.end());
    Bytes truncated = test::resultMessage(0);
    truncated.resize(truncated.size() - 10);

    struct Case {
        const char* what;
        Bytes reply;
        std::error_code expected;
    };
    const Case cases[] = {
        {"length 15", headerBytes(15, 1, 8, 1), {EPROTO, std::generic_category()}},
        {"version 2", headerBytes(100, 2, 8, 1), {EPROTO, std::generic_category()}},
        {"empty payload", headerBytes(16, 1, 8, 1), PlistError::notPropertyList},
        {"not a dictionary", arrayReply, {EPROTO, std::generic_category()}},
        {"hang-up inside the header", Bytes(7, 0), {ECONNRESET, std::generic_category()}},
        {"hang-up inside the payload", truncated, {ECONNRESET, std::generic_category()}},
        {"no reply at all", {}, {ECONNRESET, std::generic_category()}},
    };
    for (const auto& c : cases) {
        ScriptedService service(c.reply);
        const auto devices = USBMux::usbDevices(service.address());
        ASSERT_FALSE(devices.ok()) << c.what;
        EXPECT_EQ(devices.error().code, c.expected) << c.what << ": " << devices.error().message();
    }
}

TEST(USBMuxSocket, ConnectIsRefusedUnlessNumberIsZero) {
    Plist noNumber = PlistValue::dictionary();
    PlistValue::set(noNumber.get(), "MessageType", PlistValue::string("Result"));
    for (const auto& [reply, muxResult] :
         std::vector<std::pair<Bytes, std::optional<std::int64_t>>>{
             {test::resultMessage(3), 3},
             {test::resultMessage(2), 2},
             {test::message(noNumber.get()), std::nullopt}}) {
        ScriptedService service(reply);
        const auto socket = USBMux::connect(7, 49271, service.address());
        ASSERT_FALSE(socket.ok());
        EXPECT_TRUE(socket.error().is(ECONNREFUSED)) << socket.error().message();
        EXPECT_EQ(socket.error().muxResult, muxResult);
        auto sent = USBMux::parseReply(service.request);
        ASSERT_TRUE(sent.ok());
        EXPECT_EQ(PlistValue::integerForKey(sent->dictionary.get(), "PortNumber"), 30656u);
    }
}

TEST(USBMuxSocket, AcceptedConnectBecomesTheRawStream) {
    Bytes received;
    FakeMuxServer server([&](int fd) {
        test::readMessageBytes(fd);
        Bytes reply = test::resultMessage(0);
        const Bytes greeting = test::toBytes("from the device");
        reply.insert(reply.end(), greeting.begin(), greeting.end());
        test::writeAll(fd, reply);
        received = test::readUpTo(fd, 5);
    });
    auto socket = USBMux::connect(1, 49271, USBMuxAddress::unixSocket(server.path()));
    ASSERT_TRUE(socket.ok()) << socket.error().message();
    const auto greeting = (*socket)->readExactly(15);
    ASSERT_TRUE(greeting.ok());
    EXPECT_EQ(*greeting, test::toBytes("from the device"));
    ASSERT_TRUE((*socket)->write(test::toBytes("hello")).ok());
    const auto end = (*socket)->read(100);  // the device hangs up
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end->has_value());
    EXPECT_EQ(received, test::toBytes("hello"));
    const auto more = (*socket)->readExactly(1);
    ASSERT_FALSE(more.ok());
    EXPECT_TRUE(more.error().is(ECONNRESET));
}

TEST(USBMuxSocket, OpenFailures) {
    const auto missing = USBMuxSocket::open(USBMuxAddress::unixSocket("/nonexistent/usbmuxd"));
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.error().is(ECONNREFUSED));

    const auto tooLong = USBMuxSocket::open(USBMuxAddress::unixSocket("/" + std::string(107, 'x')));
    ASSERT_FALSE(tooLong.ok());
    EXPECT_TRUE(tooLong.error().is(ENAMETOOLONG));

    const auto embeddedNul =
        USBMuxSocket::open(USBMuxAddress::unixSocket(std::string("/tmp\0x", 6)));
    ASSERT_FALSE(embeddedNul.ok());
    EXPECT_TRUE(embeddedNul.error().is(EINVAL));

    std::uint16_t closedPort = 0;
    {
        test::LoopbackListener listener;
        closedPort = listener.port();
    }
    const auto nobodyListens = USBMuxSocket::open(USBMuxAddress::tcp("127.0.0.1", closedPort));
    ASSERT_FALSE(nobodyListens.ok());
    EXPECT_TRUE(nobodyListens.error().is(ECONNREFUSED));
}

TEST(USBMuxSocket, ReachesAServiceOverTCP) {
    test::LoopbackListener listener;
    std::thread service([&] {
        const int fd = listener.accept();
        test::readMessageBytes(fd);
        Plist list = PlistValue::dictionary();
        PlistValue::set(list.get(), "DeviceList", PlistValue::array());
        test::writeAll(fd, test::message(list.get()));
        ::close(fd);
    });
    const auto devices = USBMux::usbDevices(USBMuxAddress::tcp("127.0.0.1", listener.port()));
    service.join();
    ASSERT_TRUE(devices.ok()) << devices.error().message();
}

TEST(USBMuxSocket, SilentServiceTimesOutAsReadFailure) {
    FakeMuxServer server([](int fd) { test::readUpTo(fd, 1 << 20); });  // until the client leaves
    auto socket = USBMuxSocket::open(USBMuxAddress::unixSocket(server.path()));
    ASSERT_TRUE(socket.ok());
    ASSERT_TRUE((*socket)->setTimeouts(100ms).ok());
    const auto reply = (*socket)->request(USBMux::listDevicesRequest());
    ASSERT_FALSE(reply.ok());
    EXPECT_TRUE(reply.error().is(EIO)) << reply.error().message();
}

TEST(USBMuxSocket, ShutdownFromTwoThreadsEndsABlockedRead) {
    FakeMuxServer server([](int fd) { test::readUpTo(fd, 1 << 20); });
    auto opened = USBMuxSocket::open(USBMuxAddress::unixSocket(server.path()));
    ASSERT_TRUE(opened.ok());
    USBMuxSocket& socket = **opened;
    ASSERT_TRUE(socket.setTimeouts(0ms).ok());  // the read below would otherwise end by itself

    std::atomic<bool> readReturned = false;
    std::thread reader([&] {
        const auto bytes = socket.read(16);
        EXPECT_TRUE(bytes.ok() && !bytes->has_value());  // the end of the stream, not an error
        readReturned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(readReturned);
    std::thread first([&] { socket.shutdown(); });
    std::thread second([&] { socket.shutdown(); });
    first.join();
    second.join();
    reader.join();
    EXPECT_TRUE(socket.isShutDown());
    socket.shutdown();
    const auto write = socket.write(test::toBytes("late"));
    ASSERT_FALSE(write.ok());
    EXPECT_TRUE(write.error().is(EPIPE));
}

}  // namespace
}  // namespace velurio
