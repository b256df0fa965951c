// Decoding rules: envelope, required and optional keys, integer fit, enumerations, points.
#include "protocol/message_codec.h"

#include "message_generator.h"
#include "protocol/canonical_json.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

using Kind = DecodeError::Kind;

SessionMessage decoded(std::string_view text) {
    auto result = MessageCodec::decode(text);
    EXPECT_TRUE(result.ok()) << text << " -> " << (result.ok() ? "" : result.error().description);
    return result.ok() ? std::move(result).value() : SessionMessage{};
}

DecodeError failure(std::string_view text) {
    auto result = MessageCodec::decode(text);
    EXPECT_FALSE(result.ok()) << text << " decoded unexpectedly";
    return result.ok() ? DecodeError{} : std::move(result).error();
}

TEST(MessageDecoding, Envelope) {
    EXPECT_EQ(decoded(R"({"t":"clear"})"), SessionMessage(ClearMessage{}));
    EXPECT_EQ(decoded(R"({"t":"clear","extra":{"nested":[1,2]}})"), SessionMessage(ClearMessage{}));
    EXPECT_EQ(decoded(" \n{ \"t\" : \"clear\" }\r\n"), SessionMessage(ClearMessage{}));
    EXPECT_EQ(failure(R"({"t":"Clear"})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"x":"clear"})").kind, Kind::keyNotFound);
    EXPECT_EQ(failure(R"({"t":null})").kind, Kind::keyNotFound);
    EXPECT_EQ(failure(R"({"t":3})").kind, Kind::typeMismatch);
    EXPECT_EQ(failure("{}").kind, Kind::keyNotFound);
    EXPECT_EQ(failure("").kind, Kind::invalidJSON);
    EXPECT_EQ(failure(R"(["t","clear"])").kind, Kind::typeMismatch);
    EXPECT_EQ(failure(R"("clear")").kind, Kind::typeMismatch);
}

TEST(MessageDecoding, RejectsWhatIsNotStrictJson) {
    for (const char* text :
         {R"({"t":"clear",})", R"({"t":"clear"} x)", R"({'t':'clear'})",
          R"({"t":"ping","seq":NaN,"ts":1})", R"({"t":"ping","seq":1,"ts":Infinity})",
          R"({"t":"ping","seq":01,"ts":1})", R"({"t":"ping","seq":1e999,"ts":1})",
          R"({"t":"slide_changed","hash":18446744073709551616})",
          "{\"t\":\"undo\",\"id\":\"\xC3\x28\"}", "{\"t\":\"undo\",\"id\":\"a\x01\"}",
          R"({"t":"clear"}{"t":"clear"})"}) {
        EXPECT_EQ(failure(text).kind, Kind::invalidJSON) << text;
    }
}

TEST(MessageDecoding, StructDecodedAloneChecksItsTag) {
    auto result = decodeMessage<ToolStateMessage>(R"({"t":"clear"})");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, Kind::typeMismatch);
    EXPECT_EQ(result.error().description, R"(esperava t="tool_state", veio t="clear")");
    auto tool = decodeMessage<ToolStateMessage>(
        R"({"t":"tool_state","tool":"pen","color":"#FFFFFF","width":2})");
    ASSERT_TRUE(tool.ok());
    EXPECT_EQ(*tool, (ToolStateMessage{"pen", "#FFFFFF", 2}));
}

TEST(MessageDecoding, OptionalKeysTakeDefaultsWhenAbsentOrNull) {
    const std::string hello =
        R"({"t":"hello","v":1,"session_id":"s","role":"ipad","device_id":"d","device_name":"n","token":"k","attestation":"a")";
    EXPECT_FALSE(decoded(hello + "}").get<HelloMessage>()->resume);
    EXPECT_FALSE(decoded(hello + R"(,"resume":null})").get<HelloMessage>()->resume);
    EXPECT_TRUE(decoded(hello + R"(,"resume":true})").get<HelloMessage>()->resume);
    EXPECT_EQ(failure(hello + R"(,"resume":1})").kind, Kind::typeMismatch);

    const std::string caps =
        R"({"t":"capabilities","video_codec":"hevc","max_width":1,"max_height":2,"max_fps":3,"quic":false,"pencil":true)";
    EXPECT_EQ(decoded(caps + "}").get<CapabilitiesMessage>()->inkBatchMs, 8);
    EXPECT_EQ(decoded(caps + R"(,"ink_batch_ms":16})").get<CapabilitiesMessage>()->inkBatchMs, 16);

    EXPECT_FALSE(decoded(R"({"t":"end"})").get<EndMessage>()->reason.has_value());
    EXPECT_FALSE(decoded(R"({"t":"end","reason":null})").get<EndMessage>()->reason.has_value());
    EXPECT_EQ(decoded(R"({"t":"end","reason":"timeout"})").get<EndMessage>()->reason,
              SessionEndReason::timeout);
    EXPECT_EQ(failure(R"({"t":"end","reason":"bye"})").kind, Kind::dataCorrupted);

    const auto displays = decoded(
        R"({"t":"displays","displays":[{"id":7,"name":"A","width":1,"height":2}],"status":"starting"})");
    EXPECT_FALSE(displays.get<DisplaysMessage>()->selectedDisplayID.has_value());
    EXPECT_EQ(displays.get<DisplaysMessage>()->displays.at(0), (DisplayDescriptor{7, "A", 1, 2}));
    EXPECT_EQ(failure(R"({"t":"displays","displays":[],"status":"paused"})").kind,
              Kind::dataCorrupted);
    EXPECT_EQ(
        failure(
            R"({"t":"displays","displays":[{"id":7,"name":"A","width":1}],"status":"starting"})")
            .kind,
        Kind::keyNotFound);
}

TEST(MessageDecoding, RequiredKeysAndTypes) {
    EXPECT_EQ(failure(R"({"t":"undo"})").kind, Kind::keyNotFound);
    EXPECT_EQ(failure(R"({"t":"undo","id":null})").kind, Kind::keyNotFound);
    EXPECT_EQ(failure(R"({"t":"undo","id":5})").kind, Kind::typeMismatch);
    EXPECT_EQ(failure(R"({"t":"ping","seq":"1","ts":1})").kind, Kind::typeMismatch);
    EXPECT_EQ(
        failure(
            R"({"t":"hello","v":1,"session_id":"s","role":"Mac","device_id":"d","device_name":"n","token":"k","attestation":"a"})")
            .kind,
        Kind::dataCorrupted);
    // The first failing field in table order is the one reported.
    EXPECT_EQ(failure(R"({"t":"ping","ts":"x"})").description, "missing key \"seq\"");
}

TEST(MessageDecoding, IntegersMustBeIntegralAndFitTheirType) {
    EXPECT_EQ(decoded(R"({"t":"ping","seq":1.0,"ts":5e2})"), SessionMessage(PingMessage{1, 500}));
    EXPECT_EQ(decoded(R"({"t":"ping","seq":4294967295,"ts":-9223372036854775808})"),
              SessionMessage(PingMessage{4294967295u, std::numeric_limits<std::int64_t>::min()}));
    EXPECT_EQ(decoded(R"({"t":"ping","seq":-0.0,"ts":9223372036854775807})"),
              SessionMessage(PingMessage{0, std::numeric_limits<std::int64_t>::max()}));
    EXPECT_EQ(failure(R"({"t":"ping","seq":1.5,"ts":1})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":-1,"ts":1})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":4294967296,"ts":1})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":4.294967296e9,"ts":1})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":1,"ts":9223372036854775808})").kind,
              Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":1,"ts":9.223372036854775808e18})").kind,
              Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"ping","seq":true,"ts":1})").kind, Kind::typeMismatch);
    // 64-bit hashes above 2^53 keep every bit.
    EXPECT_EQ(decoded(R"({"t":"slide_changed","hash":18446744073709551615})"),
              SessionMessage(SlideChangedMessage{18446744073709551615ull}));
    EXPECT_EQ(decoded(R"({"t":"slide_changed","hash":9007199254740993})"),
              SessionMessage(SlideChangedMessage{9007199254740993ull}));
    EXPECT_EQ(failure(R"({"t":"slide_changed","hash":-1})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(R"({"t":"select_display","display_id":4294967296})").kind,
              Kind::dataCorrupted);
}

TEST(MessageDecoding, StrokePoints) {
    const std::string head =
        R"({"t":"stroke","id":"s","op":"append","tool":"pen","color":"#FF4D2E","width":4,"pts":)";
    EXPECT_EQ(decoded(head + R"([[0.5,0.5,1,0,1700000000000]]})").get<StrokeMessage>()->pts,
              (std::vector<StrokePoint>{{0.5, 0.5, 1, 0, 1700000000000}}));
    EXPECT_TRUE(decoded(head + "[]}").get<StrokeMessage>()->pts.empty());
    for (const char* bad : {"[[0.5,0.5,1,0]]}", "[[0.5,0.5,1,0,1,2]]}", "[[]]}"}) {
        const auto error = failure(head + bad);
        EXPECT_EQ(error.kind, Kind::dataCorrupted);
        EXPECT_EQ(error.description, kStrokePointArityDescription);
    }
    EXPECT_EQ(failure(head + R"([{"x":0.5}]})").kind, Kind::typeMismatch);
    EXPECT_EQ(failure(head + R"([[0.5,0.5,1,0,1.5]]})").kind, Kind::dataCorrupted);
    EXPECT_EQ(failure(head + R"([[0.5,"0.5",1,0,1]]})").kind, Kind::typeMismatch);
    EXPECT_EQ(failure(head + R"(null})").kind, Kind::keyNotFound);
    // Ink fields are carried, not checked.
    const auto odd = decoded(
        R"({"t":"stroke","id":"s","op":"begin","tool":"crayon","color":"blue","width":3,"pts":[]})");
    EXPECT_EQ(odd.get<StrokeMessage>()->tool, "crayon");
    EXPECT_EQ(
        failure(
            R"({"t":"stroke","id":"s","op":"BEGIN","tool":"pen","color":"#FF4D2E","width":4,"pts":[]})")
            .kind,
        Kind::dataCorrupted);
}

TEST(MessageRoundTrip, DecodeOfEncodeIsIdentityAndEncodingIsStable) {
    testing::MessageGenerator generator(20261207);
    for (int i = 0; i < 5000; ++i) {
        const SessionMessage original = generator.next();
        const std::string text = original.canonicalJSON();
        auto result = MessageCodec::decode(text);
        ASSERT_TRUE(result.ok()) << text << ": " << result.error().description;
        // Doubles of the generator are finite, so equality is exact.
        ASSERT_EQ(*result, original) << text;
        ASSERT_EQ(result->canonicalJSON(), text);
    }
}

TEST(MessageRoundTrip, EveryTypeDecodesFromItsCanonicalText) {
    const SessionMessage samples[] = {
        HelloMessage{1, "s", PeerRole::mac, "d", "n", "t", "a", true},
        CapabilitiesMessage{"h264", 1920, 1080, 30, false, false, 8},
        ToolStateMessage{"pen", "#FFFFFF", 2},
        ClearMessage{},
        UndoMessage{"x"},
        RedoMessage{"y"},
        SlideChangedMessage{42},
        PingMessage{1, 2},
        PongMessage::echoing(PingMessage{3, 4}),
        EndMessage{SessionEndReason::replaced},
        StrokeMessage{"s", StrokeOp::end, "laser", "#1B1A18", 8, {{0.1, 0.2, 0.3, 0.4, 5}}},
        DisplaysMessage{{{1, "a", 2, 3}, {2, "b", 4, 5}}, 2, CaptureStatus::failed},
        SelectDisplayMessage{9}};
    std::size_t typeIndex = 0;
    for (const SessionMessage& sample : samples) {
        auto result = MessageCodec::decode(sample.canonicalJSON());
        ASSERT_TRUE(result.ok()) << sample.canonicalJSON();
        EXPECT_EQ(*result, sample);
        EXPECT_EQ(result->type(), sample.type());
        ++typeIndex;
    }
    EXPECT_EQ(typeIndex, std::size(kAllMessageTypes));
}

TEST(RawValues, ExactAndCaseSensitive) {
    for (const MessageType type : kAllMessageTypes) {
        EXPECT_EQ(messageTypeFromRaw(rawValue(type)), type);
    }
    EXPECT_EQ(rawValue(MessageType::toolState), "tool_state");
    EXPECT_EQ(rawValue(MessageType::selectDisplay), "select_display");
    EXPECT_EQ(rawValue(SessionEndReason::userEnded), "user_ended");
    EXPECT_EQ(rawValue(CaptureStatus::permissionRequired), "permission_required");
    EXPECT_FALSE(peerRoleFromRaw("Mac"));
    EXPECT_FALSE(strokeOpFromRaw("BEGIN"));
    EXPECT_FALSE(messageTypeFromRaw("toolState"));
    EXPECT_EQ(PongMessage::echoing(PingMessage{7, 99}), (PongMessage{7, 99}));
}

}  // namespace
}  // namespace velurio
