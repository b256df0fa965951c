// The USB connector against the real usbmuxd daemon (no USB hardware: it lists no device) that
// scripts/services.d/50-usbmuxd.sh starts: polling stays silent and leaves no descriptor behind.
// VELURIO_USB_SOAK_SECONDS lengthens the real-time run (e.g. 60 for a manual soak).
#include "app/clock/scheduler.h"
#include "app/transport/usb_connector.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QDir>

#include <iostream>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

std::vector<QString>& logged() {
    static std::vector<QString> lines;
    return lines;
}

void collectTransportLog(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QString::fromLatin1(context.category).startsWith(QStringLiteral("velurio.transport"))) {
        logged().push_back(message);
    }
}

int openDescriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::NoDotAndDotDot | QDir::System)
                                .size());
}

class USBConnectorDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        const QString socket = qEnvironmentVariable("VELURIO_USBMUXD_SOCKET");
        ASSERT_FALSE(socket.isEmpty())
            << "needs the usbmuxd daemon of scripts/with-services (VELURIO_USBMUXD_SOCKET)";
        address = USBMuxAddress::unixSocket(socket.toStdString());
        logged().clear();
        previous = qInstallMessageHandler(collectTransportLog);
    }
    void TearDown() override { qInstallMessageHandler(previous); }

    USBMuxAddress address;
    QtMessageHandler previous = nullptr;
};

HelloMessage offer() {
    HelloMessage hello;
    hello.role = PeerRole::mac;
    hello.deviceId = "mac-1";
    hello.deviceName = "Mac";
    return hello;
}

TEST_F(USBConnectorDaemonTest, ManyPollsLeaveNoDescriptorAndNoLogLine) {
    ManualScheduler scheduler;
    USBConnector connector(&scheduler, address);
    connector.offer = offer();
    int polls = 0;
    int devices = 0;
    QObject::connect(&connector, &USBConnector::polled, [&](int count) {
        ++polls;
        devices += count;
    });
    connector.start();
    ASSERT_TRUE(waitUntil([&] { return polls == 1; }));
    const int before = openDescriptors();
    for (int i = 0; i < 300; ++i) {
        scheduler.advance(USBConnector::kPollInterval);
        ASSERT_TRUE(waitUntil([&] { return polls == i + 2; })) << "poll " << i;
    }
    EXPECT_EQ(devices, 0);
    EXPECT_LE(openDescriptors(), before);
    EXPECT_TRUE(logged().empty()) << logged().front().toStdString();
}

TEST_F(USBConnectorDaemonTest, RunsInRealTimeSilentlyWithSteadyDescriptors) {
    const int seconds = std::max(7, qEnvironmentVariableIntValue("VELURIO_USB_SOAK_SECONDS"));
    USBConnector connector(nullptr, address);
    connector.offer = offer();
    int polls = 0;
    QObject::connect(&connector, &USBConnector::polled, [&](int) { ++polls; });
    connector.start();
    ASSERT_TRUE(waitUntil([&] { return polls == 1; }));
    const int before = openDescriptors();
    settle(std::chrono::seconds(seconds));
    const int after = openDescriptors();
    std::cout << "usb connector against usbmuxd: " << seconds << " s, " << polls
              << " polls, descriptors " << before << " -> " << after << "\n";
    EXPECT_GE(polls, seconds / 3);
    EXPECT_LE(after, before);
    EXPECT_TRUE(logged().empty()) << logged().front().toStdString();
}

}  // namespace
}  // namespace velurio::test
