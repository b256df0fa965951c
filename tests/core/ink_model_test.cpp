#include "core/ink_color.h"
#include "core/ink_tool.h"
#include "core/shape_match.h"
#include "core/stroke.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <unordered_set>

namespace velurio {
namespace {

TEST(InkColorTest, ParsesAndCanonicalisesHexTexts) {
    for (const char* text : {"#ff4d2e", "FF4D2E", "#FF4D2E", "#fF4d2E"}) {
        auto color = InkColor::fromHex(text);
        ASSERT_TRUE(color) << text;
        EXPECT_EQ(color->hex, "#FF4D2E");
        EXPECT_EQ(*color, *InkColor::fromHex("#FF4D2E"));
    }
    auto color = InkColor::fromHex("2f8cff");
    ASSERT_TRUE(color);
    EXPECT_EQ(color->hex, "#2F8CFF");
    EXPECT_DOUBLE_EQ(color->red, 47 / 255.0);
    EXPECT_DOUBLE_EQ(color->green, 140 / 255.0);
    EXPECT_DOUBLE_EQ(color->blue, 1.0);
}

TEST(InkColorTest, RejectsEverythingThatIsNotSixHexDigits) {
    for (const char* text : {"##FF4D2E", "#FFF", "#FF4D2E00", "", "#", "#12345G", " FF4D2E",
                             "+FF4D2", "0xFF4D", "#-12345", "FF4D2E ", "#ＦF4D2E"}) {
        EXPECT_FALSE(InkColor::fromHex(text)) << text;
    }
}

TEST(InkColorTest, FromComponentsRoundsHalfAwayAndClamps) {
    InkColor half = InkColor::fromComponents(0.5, 0, 1);
    EXPECT_EQ(half.hex, "#8000FF");  // 127.5 rounds up to 128
    EXPECT_DOUBLE_EQ(half.red, 128 / 255.0);
    EXPECT_EQ(InkColor::fromComponents(-3, 2, std::nan("")).hex, "#00FF00");
    EXPECT_EQ(InkColor::fromComponents(47 / 255.0, 140 / 255.0, 1), *InkColor::fromHex("2F8CFF"));
}

TEST(InkColorTest, DecodingFailureCarriesThePortugueseDescription) {
    auto bad = decodeInkColor("#12345G");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, DecodeError::Kind::dataCorrupted);
    EXPECT_EQ(bad.error().description, "cor inválida: #12345G (esperado #RRGGBB)");
    auto good = decodeInkColor("#ffffff");
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good->hex, "#FFFFFF");
    EXPECT_EQ(encodeInkColor(*good), "\"#FFFFFF\"");
}

TEST(InkColorTest, HashIsConsistentWithEquality) {
    std::unordered_set<InkColor> set;
    set.insert(*InkColor::fromHex("#ff4d2e"));
    set.insert(*InkColor::fromHex("FF4D2E"));
    set.insert(*InkColor::fromHex("#FFFFFF"));
    EXPECT_EQ(set.size(), 2u);
}

TEST(InkPaletteTest, SevenColoursInOrderWithCaseInsensitiveMembership) {
    ASSERT_EQ(InkPalette::colors().size(), 7u);
    EXPECT_EQ(InkPalette::hexValues(),
              (std::vector<std::string>{"#FF4D2E", "#FFC224", "#35D07F", "#2F8CFF", "#B56BFF",
                                        "#FFFFFF", "#1B1A18"}));
    EXPECT_EQ(InkPalette::defaultColor().hex, "#FF4D2E");
    EXPECT_TRUE(InkPalette::isPaletteColor("#ffffff"));
    EXPECT_TRUE(InkPalette::isPaletteColor("ff4d2e"));
    EXPECT_FALSE(InkPalette::isPaletteColor("#FFFFFE"));
    EXPECT_FALSE(InkPalette::isPaletteColor("white"));
}

TEST(InkToolTest, RawValuesAndProperties) {
    EXPECT_EQ(inkToolFromRaw("marker"), InkTool::marker);
    EXPECT_FALSE(inkToolFromRaw("Pen"));
    EXPECT_FALSE(inkToolFromRaw("line"));
    for (InkTool tool : kAllInkTools)
        EXPECT_EQ(inkToolFromRaw(rawValue(tool)), tool);
    EXPECT_DOUBLE_EQ(inkOpacity(InkTool::marker), 0.4);
    EXPECT_DOUBLE_EQ(inkOpacity(InkTool::pen), 1.0);
    EXPECT_FALSE(depositsInk(InkTool::laser));
    EXPECT_TRUE(depositsInk(InkTool::eraser));
    EXPECT_FALSE(supportsColor(InkTool::laser));
    EXPECT_FALSE(supportsColor(InkTool::eraser));
    EXPECT_TRUE(supportsColor(InkTool::text));
    for (InkTool tool : kAllInkTools)
        EXPECT_EQ(convertsToShapeOnHold(tool), tool == InkTool::pen);
}

TEST(StrokeThicknessTest, AcceptsOnlyTwoFourEight) {
    for (std::int64_t raw = -9; raw <= 16; ++raw) {
        auto thickness = strokeThicknessFromRaw(raw);
        EXPECT_EQ(thickness.has_value(), raw == 2 || raw == 4 || raw == 8) << raw;
        if (thickness) {
            EXPECT_DOUBLE_EQ(baseWidth(*thickness), static_cast<double>(raw));
        }
    }
    EXPECT_FALSE(strokeThicknessFromRaw(INT64_MIN));
}

StrokeMessage beginMessage(std::string tool, std::string color, std::int64_t width) {
    StrokeMessage m;
    m.id = "s1";
    m.op = StrokeOp::begin;
    m.tool = std::move(tool);
    m.color = std::move(color);
    m.width = width;
    m.pts = {{0.1, 0.2, 0.5, 0, 10}, {0.3, 0.4, 0.6, 0.1, 20}};
    return m;
}

TEST(StrokeTest, FromBeginValidatesEveryInkField) {
    EXPECT_FALSE(Stroke::fromBegin(beginMessage("marker", "#35D07F", 3)));
    auto stroke = Stroke::fromBegin(beginMessage("marker", "#35D07F", 4));
    ASSERT_TRUE(stroke);
    EXPECT_EQ(stroke->id, "s1");
    EXPECT_EQ(stroke->tool, InkTool::marker);
    EXPECT_EQ(stroke->thickness, StrokeThickness::medium);
    EXPECT_EQ(stroke->color.hex, "#35D07F");
    EXPECT_EQ(stroke->points, beginMessage("marker", "#35D07F", 4).pts);

    EXPECT_FALSE(Stroke::fromBegin(beginMessage("Marker", "#35D07F", 4)));
    EXPECT_FALSE(Stroke::fromBegin(beginMessage("pen", "#35D07", 4)));
    auto append = beginMessage("pen", "#35D07F", 4);
    append.op = StrokeOp::append;
    EXPECT_FALSE(Stroke::fromBegin(append));

    EXPECT_EQ(inkTool(beginMessage("laser", "x", 1)), InkTool::laser);
    EXPECT_FALSE(inkColor(beginMessage("laser", "x", 1)));
    EXPECT_FALSE(strokeThickness(beginMessage("laser", "x", 1)));
}

TEST(StrokeTest, WireMessageRoundTripsAndHonoursAnExplicitEmptyPointList) {
    auto stroke = *Stroke::fromBegin(beginMessage("pen", "#2f8cff", 8));
    StrokeMessage all = stroke.wireMessage(StrokeOp::end);
    EXPECT_EQ(all.id, "s1");
    EXPECT_EQ(all.tool, "pen");
    EXPECT_EQ(all.color, "#2F8CFF");
    EXPECT_EQ(all.width, 8);
    EXPECT_EQ(all.pts, stroke.points);
    EXPECT_TRUE(stroke.wireMessage(StrokeOp::end, {}).pts.empty());

    StrokeMessage begin = stroke.wireMessage(StrokeOp::begin);
    EXPECT_EQ(Stroke::fromBegin(begin), stroke);
}

TEST(ShapeKindTest, RawValuesRoundTrip) {
    for (ShapeKind kind : kAllShapeKinds)
        EXPECT_EQ(shapeKindFromRaw(rawValue(kind)), kind);
    EXPECT_FALSE(shapeKindFromRaw("square"));
}

}  // namespace
}  // namespace velurio
