// Golden texts of the canonical writer: key order, escaping and the number rule.
#include "protocol/canonical_json.h"

#include "protocol/message_codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>

namespace velurio {
namespace {

std::string number(double value) {
    std::string out;
    CanonicalJSON::appendNumber(out, value);
    return out;
}

TEST(CanonicalEscape, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(CanonicalJSON::escape(""), "\"\"");
    EXPECT_EQ(CanonicalJSON::escape("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(CanonicalJSON::escape(std::string_view("\0", 1)), R"("\u0000")");
    EXPECT_EQ(CanonicalJSON::escape("\t\n\r\x01\x08\x1f"), R"("\t\n\r\u0001\u0008\u001f")");
    // "/", DEL and non-ASCII scalars are copied as they are.
    EXPECT_EQ(CanonicalJSON::escape("/\x7f"), "\"/\x7f\"");
    EXPECT_EQ(CanonicalJSON::escape("çãó/€"), "\"çãó/€\"");
    EXPECT_EQ(CanonicalJSON::escape("\xF0\x9F\x96\x8A"), "\"\xF0\x9F\x96\x8A\"");
}

TEST(CanonicalEscape, MalformedUtf8BecomesReplacementCharacter) {
    // A lone continuation byte, a truncated sequence, an overlong form and a surrogate.
    EXPECT_EQ(CanonicalJSON::escape("a\x80z"), "\"a\xEF\xBF\xBDz\"");
    EXPECT_EQ(CanonicalJSON::escape("\xE2\x82"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(CanonicalJSON::escape("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(CanonicalJSON::escape("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(CanonicalNumber, IntegralValuesBelow1e15AreIntegers) {
    EXPECT_EQ(number(1.0), "1");
    EXPECT_EQ(number(-3.0), "-3");
    EXPECT_EQ(number(-0.0), "0");
    EXPECT_EQ(number(999999999999999.0), "999999999999999");
    EXPECT_EQ(number(-999999999999999.0), "-999999999999999");
}

TEST(CanonicalNumber, OtherValuesUseShortestRoundTripText) {
    EXPECT_EQ(number(0.5), "0.5");
    EXPECT_EQ(number(0.25), "0.25");
    EXPECT_EQ(number(0.1), "0.1");
    EXPECT_EQ(number(1e-05), "1e-05");
    EXPECT_EQ(number(1e15), "1e+15");
    EXPECT_EQ(number(-1e15), "-1e+15");
    EXPECT_EQ(number(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(number(5e-324), "5e-324");
}

TEST(CanonicalNumber, LargeIntegralValuesKeepAnExponent) {
    // Shortest fixed text would be an integer literal, beyond 64 bits for the second.
    EXPECT_EQ(number(77370975569262464.0), "7.737097556926246e+16");
    EXPECT_EQ(number(2.0000000000000004e19), "2.0000000000000004e+19");
    EXPECT_EQ(number(1e16), "1e+16");
    StrokeMessage stroke{
        "s", StrokeOp::append, "pen", "#FF4D2E", 4, {{2.0000000000000004e19, -1e300, 0, 0, 1}}};
    auto decoded = MessageCodec::decode(canonicalJSON(stroke));
    ASSERT_TRUE(decoded.ok()) << canonicalJSON(stroke);
    EXPECT_EQ(decoded->get<StrokeMessage>()->pts.at(0), stroke.pts.at(0));
}

TEST(CanonicalNumber, NonFiniteValuesStillGiveJson) {
    EXPECT_EQ(number(std::numeric_limits<double>::quiet_NaN()), "0");
    EXPECT_EQ(number(std::numeric_limits<double>::infinity()), "1.7976931348623157e+308");
    EXPECT_EQ(number(-std::numeric_limits<double>::infinity()), "-1.7976931348623157e+308");
    // The texts decode, so a message carrying them is never dropped by the peer.
    StrokeMessage stroke{
        "s", StrokeOp::append, "pen", "#FF4D2E", 4, {{std::nan(""), INFINITY, -INFINITY, 0, 1}}};
    auto decoded = MessageCodec::decode(canonicalJSON(stroke));
    ASSERT_TRUE(decoded.ok());
    const auto& point = decoded->get<StrokeMessage>()->pts.at(0);
    EXPECT_EQ(point.x, 0.0);
    EXPECT_EQ(point.y, std::numeric_limits<double>::max());
    EXPECT_EQ(point.pressure, std::numeric_limits<double>::lowest());
}

TEST(CanonicalMessages, GoldenTexts) {
    EXPECT_EQ(canonicalJSON(ClearMessage{}), R"({"t":"clear"})");
    EXPECT_EQ(canonicalJSON(PingMessage{7, 1712345678901}),
              R"({"t":"ping","seq":7,"ts":1712345678901})");
    EXPECT_EQ(canonicalJSON(PongMessage{4294967295u, -5}),
              R"({"t":"pong","seq":4294967295,"ts":-5})");
    EXPECT_EQ(canonicalJSON(EndMessage{SessionEndReason::timeout}),
              R"({"t":"end","reason":"timeout"})");
    EXPECT_EQ(canonicalJSON(EndMessage{SessionEndReason::userEnded}),
              R"({"t":"end","reason":"user_ended"})");
    EXPECT_EQ(canonicalJSON(EndMessage{}), R"({"t":"end"})");
    EXPECT_EQ(canonicalJSON(StrokeMessage{
                  "s1",
                  StrokeOp::append,
                  "pen",
                  "#FF4D2E",
                  4,
                  {{0.5, 0.25, 1, 0, 1700000000000}, {0.51, 0.25, 0.9, 0, 1700000000008}}}),
              R"({"t":"stroke","id":"s1","op":"append","tool":"pen","color":"#FF4D2E","width":4,)"
              R"("pts":[[0.5,0.25,1,0,1700000000000],[0.51,0.25,0.9,0,1700000000008]]})");
    EXPECT_EQ(
        canonicalJSON(
            StrokeMessage{"s", StrokeOp::begin, "pen", "#FF4D2E", 2, {{0.5, 1.0, 0.0, -2.0, 5}}}),
        R"({"t":"stroke","id":"s","op":"begin","tool":"pen","color":"#FF4D2E","width":2,"pts":[[0.5,1,0,-2,5]]})");
    EXPECT_EQ(
        canonicalJSON(StrokeMessage{"s", StrokeOp::end, "pen", "#FF4D2E", 2, {}}),
        R"({"t":"stroke","id":"s","op":"end","tool":"pen","color":"#FF4D2E","width":2,"pts":[]})");
    EXPECT_EQ(
        canonicalJSON(DisplaysMessage{{{1, "Studio", 1512, 982}}, 1, CaptureStatus::streaming}),
        R"({"t":"displays","displays":[{"id":1,"name":"Studio","width":1512,"height":982}],"selected_display_id":1,"status":"streaming"})");
    EXPECT_EQ(canonicalJSON(DisplaysMessage{{}, std::nullopt, CaptureStatus::permissionRequired}),
              R"({"t":"displays","displays":[],"status":"permission_required"})");
    EXPECT_EQ(canonicalJSON(SelectDisplayMessage{1}), R"({"t":"select_display","display_id":1})");
    EXPECT_EQ(canonicalJSON(SlideChangedMessage{18446744073709551615ull}),
              R"({"t":"slide_changed","hash":18446744073709551615})");
    EXPECT_EQ(canonicalJSON(ToolStateMessage{"marker", "#35D07F", 8}),
              R"({"t":"tool_state","tool":"marker","color":"#35D07F","width":8})");
    EXPECT_EQ(canonicalJSON(UndoMessage{"m-0001"}), R"({"t":"undo","id":"m-0001"})");
    EXPECT_EQ(canonicalJSON(RedoMessage{"a\"b"}), R"({"t":"redo","id":"a\"b"})");
}

TEST(CanonicalMessages, OptionalsWithDefaultsAreAlwaysWritten) {
    // resume and ink_batch_ms are written even at their defaults.
    EXPECT_EQ(canonicalJSON(HelloMessage{1, "sess", PeerRole::ipad, "dev", "iPad de Ana", "tok",
                                         "att", false}),
              R"({"t":"hello","v":1,"session_id":"sess","role":"ipad","device_id":"dev",)"
              R"("device_name":"iPad de Ana","token":"tok","attestation":"att","resume":false})");
    EXPECT_EQ(canonicalJSON(CapabilitiesMessage{"h264", 1920, 1080, 60, true, false, 8}),
              R"({"t":"capabilities","video_codec":"h264","max_width":1920,"max_height":1080,)"
              R"("max_fps":60,"quic":true,"pencil":false,"ink_batch_ms":8})");
}

TEST(CanonicalMessages, SessionMessageForwardsToItsPayload) {
    const SessionMessage message = PingMessage{1, 2};
    EXPECT_EQ(message.type(), MessageType::ping);
    EXPECT_EQ(message.canonicalJSON(), canonicalJSON(PingMessage{1, 2}));
    EXPECT_EQ(MessageCodec::encodeToString(message), message.canonicalJSON());
    const auto bytes = MessageCodec::encode(message);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), message.canonicalJSON());
}

}  // namespace
}  // namespace velurio

namespace velurio {
namespace {

// The fast writer must give exactly std::to_chars's shortest text (apart from the bare-integer
// rule), over random bit patterns and over the ranges strokes actually use.
TEST(CanonicalNumber, MatchesStandardShortestText) {
    std::mt19937_64 rng(99);
    const auto reference = [](double value) {
        char buffer[64];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
        std::string text(buffer, end);
        if (text.find_first_of(".e") == std::string::npos) {
            end =
                std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific)
                    .ptr;
            text.assign(buffer, end);
        }
        return text;
    };
    for (int i = 0; i < 300000; ++i) {
        double value = 0;
        switch (i % 3) {
            case 0:
                value = std::bit_cast<double>(rng());
                break;
            case 1:
                value = std::uniform_real_distribution<double>(-2, 2)(rng);
                break;
            default:
                value = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng),
                                   static_cast<int>(rng() % 140) - 70);
        }
        if (!std::isfinite(value) || (value == std::round(value) && std::fabs(value) < 1e15)) {
            continue;
        }
        ASSERT_EQ(number(value), reference(value)) << std::hexfloat << value;
    }
    for (const double value :
         {1e-05, 1e-04, 0.001, 123456.789, 1e21, 1.5e300, 2.5e-308, 1e100, 1e-100}) {
        EXPECT_EQ(number(value), reference(value));
    }
}

}  // namespace
}  // namespace velurio
