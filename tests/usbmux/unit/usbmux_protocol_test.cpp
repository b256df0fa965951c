// The usbmuxd message format: golden bytes of what we send, and every way a reply can be bad.
#include "usbmux/usbmux_protocol.h"

#include "usbmux_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace velurio {
namespace {

using test::Bytes;
using test::headerBytes;
using test::toBytes;

constexpr std::string_view kListDevicesXML =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>MessageType</key>\n"
    "\t<string>ListDevices</string>\n"
    "\t<key>ClientVersionString</key>\n"
    "\t<string>Velurio</string>\n"
    "\t<key>ProgName</key>\n"
    "\t<string>Velurio</string>\n"
    "\t<key>kLibUSBMuxVersion</key>\n"
    "\t<integer>3</integer>\n"
    "</dict>\n"
    "</plist>\n";

Plist parseDictionary(std::string_view xml) {
    auto parsed = USBMux::decodePayload(toBytes(xml));
    EXPECT_TRUE(parsed.ok()) << xml;
    return parsed.ok() ? std::move(parsed).value() : nullptr;
}

std::string plistXML(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + std::string(body) +
           "</plist>";
}

TEST(USBMuxProtocol, HeaderIsFourLittleEndianWords) {
    const auto bytes = USBMux::encodeHeader({0x11223344, 1, 8, 0xA0B0C0D0});
    const Bytes expected = {
        0x44, 0x33, 0x22, 0x11,  // total length, header included
        0x01, 0x00, 0x00, 0x00,  // version 1
        0x08, 0x00, 0x00, 0x00,  // message type 8: property list
        0xD0, 0xC0, 0xB0, 0xA0,  // tag
    };
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);
    const auto decoded = USBMux::decodeHeader(expected);
    ASSERT_FALSE(decoded.ok());  // that length is far beyond the largest message
    EXPECT_TRUE(decoded.error().is(EPROTO));
}

TEST(USBMuxProtocol, ListDevicesRequestGoldenBytes) {
    Plist request = USBMux::listDevicesRequest();
    USBMux::addClientKeys(request.get());
    const auto bytes = USBMux::packet(request.get(), USBMux::kRequestTag);
    ASSERT_TRUE(bytes.ok());
    Bytes expected = {
        0x9F, 0x01, 0x00, 0x00,  // 415 = 16 + 399 bytes of XML
        0x01, 0x00, 0x00, 0x00,  // version 1
        0x08, 0x00, 0x00, 0x00,  // property list
        0x01, 0x00, 0x00, 0x00,  // tag 1, as on every request
    };
    expected.insert(expected.end(), kListDevicesXML.begin(), kListDevicesXML.end());
    EXPECT_EQ(*bytes, expected);
}

TEST(USBMuxProtocol, ConnectRequestSendsThePortInNetworkByteOrder) {
    Plist request = USBMux::connectRequest(0xFFFFFFF0, 49271);
    EXPECT_EQ(PlistValue::stringForKey(request.get(), "MessageType"), "Connect");
    EXPECT_EQ(PlistValue::integerForKey(request.get(), "DeviceID"), 0xFFFFFFF0u);
    EXPECT_EQ(PlistValue::integerForKey(request.get(), "PortNumber"), 30656u);  // 0xC077 -> 0x77C0
    EXPECT_EQ(USBMux::swappedPort(1), 256);
}

TEST(USBMuxProtocol, HeaderChecks) {
    struct Case {
        std::uint32_t length, version, type;
        int errnoValue;  // 0: accepted
    };
    const Case cases[] = {
        {15, 1, 8, EPROTO},  // shorter than its own header
        {16, 1, 8, 0},       // empty payload: the header itself is fine
        {16 + 0xFFFF0, 1, 8, 0},
        {16 + 0xFFFF1, 1, 8, EPROTO},
        {0xFFFFFFFF, 1, 8, EPROTO},
        {100, 0, 8, EPROTO},
        {100, 2, 8, EPROTO},
        {100, 1, 1, EPROTO},  // the old binary message types are not spoken
    };
    for (const auto& c : cases) {
        const auto header = USBMux::decodeHeader(headerBytes(c.length, c.version, c.type, 77));
        if (c.errnoValue == 0) {
            EXPECT_TRUE(header.ok()) << c.length;
        } else {
            ASSERT_FALSE(header.ok()) << c.length << " " << c.version << " " << c.type;
            EXPECT_TRUE(header.error().is(c.errnoValue)) << header.error().message();
        }
    }
    const auto shortHeader = USBMux::decodeHeader(Bytes(15, 0));
    ASSERT_FALSE(shortHeader.ok());
    EXPECT_TRUE(shortHeader.error().is(ECONNRESET));
}

TEST(USBMuxProtocol, ReplyPayloadErrors) {
    const auto notPlist = [](std::string_view payload) {
        auto reply = USBMux::decodePayload(toBytes(payload));
        return !reply.ok() && reply.error().code == PlistError::notPropertyList;
    };
    EXPECT_TRUE(notPlist(""));
    EXPECT_TRUE(notPlist("DeviceList"));
    EXPECT_TRUE(notPlist(plistXML("<dict><key>a</key>")));
    EXPECT_TRUE(notPlist(std::string("bplist00") + std::string(40, '\0')));  // binary: not spoken

    auto array = USBMux::decodePayload(toBytes(plistXML("<array><integer>1</integer></array>")));
    ASSERT_FALSE(array.ok());
    EXPECT_TRUE(array.error().is(EPROTO));
}

TEST(USBMuxProtocol, ParseReplyTakesExactlyOneMessage) {
    const std::string xml = plistXML("<dict><key>Number</key><integer>0</integer></dict>");
    Bytes whole = headerBytes(static_cast<std::uint32_t>(16 + xml.size()), 1, 8, 99);
    whole.insert(whole.end(), xml.begin(), xml.end());

    auto reply = USBMux::parseReply(whole);
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(reply->header.tag, 99u);  // a reply's tag is not checked
    EXPECT_EQ(USBMux::resultNumber(reply->dictionary.get()), 0);

    auto truncated = USBMux::parseReply(std::span(whole).first(whole.size() - 1));
    ASSERT_FALSE(truncated.ok());
    EXPECT_TRUE(truncated.error().is(ECONNRESET));
    whole.push_back(0);
    auto trailing = USBMux::parseReply(whole);
    ASSERT_FALSE(trailing.ok());
    EXPECT_TRUE(trailing.error().is(EPROTO));

    // A header that announces no payload at all reaches the property-list parser, which refuses.
    auto empty = USBMux::parseReply(headerBytes(16, 1, 8, 1));
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().code, PlistError::notPropertyList);
}

TEST(USBMuxProtocol, PacketRoundTrips) {
    Plist request = USBMux::connectRequest(7, 49271);
    const auto bytes = USBMux::packet(request.get(), 5);
    ASSERT_TRUE(bytes.ok());
    auto parsed = USBMux::parseReply(*bytes);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed->header, (USBMuxHeader{static_cast<std::uint32_t>(bytes->size()), 1, 8, 5}));
    EXPECT_EQ(PlistValue::toXML(parsed->dictionary.get()), PlistValue::toXML(request.get()));

    Plist notADictionary = PlistValue::array();
    auto refused = USBMux::packet(notADictionary.get(), 1);
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().is(EPROTO));
}

TEST(USBMuxProtocol, DeviceListKeepsUSBDevicesWithValidIDs) {
    const auto entry = [](std::string_view id, std::string_view type) {
        return "<dict><key>DeviceID</key>" + std::string(id) +
               "<key>MessageType</key><string>Attached</string><key>Properties</key><dict>"
               "<key>ConnectionType</key><string>" +
               std::string(type) + "</string></dict></dict>";
    };
    const Plist reply = parseDictionary(
        plistXML("<dict><key>DeviceList</key><array>" + entry("<integer>9</integer>", "USB") +
                 entry("<integer>3</integer>", "Network") +       // not on a cable
                 entry("<string>4</string>", "USB") +             // id is not a number
                 entry("<integer>4294967296</integer>", "USB") +  // id beyond 32 bits
                 entry("<integer>4294967295</integer>", "USB") +
                 "<dict><key>DeviceID</key><integer>5</integer></dict>"  // no properties
                 "<string>junk</string>" +
                 entry("<integer>2</integer>", "USB") + "</array></dict>"));
    EXPECT_EQ(USBMux::usbDeviceIDs(reply.get()), (std::vector<std::uint32_t>{9, 4294967295u, 2}));

    EXPECT_TRUE(USBMux::usbDeviceIDs(parseDictionary(plistXML("<dict/>")).get()).empty());
    EXPECT_TRUE(USBMux::usbDeviceIDs(
                    parseDictionary(plistXML("<dict><key>DeviceList</key><dict/></dict>")).get())
                    .empty());
}

TEST(USBMuxProtocol, DeepestReplyThatFitsIsHandled) {
    // Nesting as deep as the largest payload allows: parsing, the look-ups and freeing must
    // not recurse per level (a 8 MiB stack holds fewer than 30,000 of libplist's writer frames).
    constexpr int kDepth = 69'000;
    std::string body = "<dict><key>DeviceList</key>";
    for (int i = 0; i < kDepth; ++i)
        body += "<array>";
    for (int i = 0; i < kDepth; ++i)
        body += "</array>";
    body += "</dict>";
    const std::string xml = plistXML(body);
    ASSERT_LE(xml.size(), USBMux::kMaxPayloadByteCount);
    Bytes whole = headerBytes(static_cast<std::uint32_t>(16 + xml.size()), 1, 8, 1);
    whole.insert(whole.end(), xml.begin(), xml.end());
    auto reply = USBMux::parseReply(whole);
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_TRUE(USBMux::usbDeviceIDs(reply->dictionary.get()).empty());
    EXPECT_EQ(USBMux::resultNumber(reply->dictionary.get()), std::nullopt);
}

TEST(USBMuxProtocol, ResultNumber) {
    EXPECT_EQ(
        USBMux::resultNumber(
            parseDictionary(plistXML("<dict><key>Number</key><integer>3</integer></dict>")).get()),
        3);
    EXPECT_EQ(
        USBMux::resultNumber(
            parseDictionary(plistXML("<dict><key>Number</key><string>0</string></dict>")).get()),
        std::nullopt);
    EXPECT_EQ(USBMux::resultNumber(parseDictionary(plistXML("<dict/>")).get()), std::nullopt);
}

}  // namespace
}  // namespace velurio
