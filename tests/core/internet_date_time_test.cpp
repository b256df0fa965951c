#include "core/internet_date_time.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

using InternetDateTime::Fraction;
using InternetDateTime::parseMilliseconds;
using InternetDateTime::parseMillisecondsEitherForm;

constexpr std::int64_t kMsPerDay = 86'400'000;

TEST(InternetDateTime, ParsesBothFormsAndZones) {
    // 2027-01-02T03:04:05Z = 1798859045 s since 1970 (date -u -d 2027-01-02T03:04:05Z +%s).
    constexpr std::int64_t kBase = 1'798'859'045'000;
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T03:04:05Z"), kBase);
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T03:04:05.250Z"), kBase + 250);
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T03:04:05.2Z"), kBase + 200);
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T03:04:05.123999Z"),
              kBase + 123);  // truncated
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T00:04:05-03:00"), kBase);
    EXPECT_EQ(parseMillisecondsEitherForm("2027-01-02T05:34:05.000+02:30"), kBase);
    EXPECT_EQ(parseMillisecondsEitherForm("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parseMillisecondsEitherForm("1969-12-31T23:59:59.5Z"), -500);
    EXPECT_EQ(parseMillisecondsEitherForm("2024-02-29T00:00:00Z"), 19'782 * kMsPerDay);
}

TEST(InternetDateTime, EachFormOnlyWhenAskedFor) {
    EXPECT_FALSE(parseMilliseconds("2027-01-02T03:04:05Z", Fraction::required));
    EXPECT_FALSE(parseMilliseconds("2027-01-02T03:04:05.1Z", Fraction::forbidden));
    EXPECT_TRUE(parseMilliseconds("2027-01-02T03:04:05.1Z", Fraction::required));
}

TEST(InternetDateTime, RefusesAnythingElse) {
    for (const char* text : {"",
                             "2027-01-02",
                             "2027-01-02T03:04:05",
                             "2027-01-02 03:04:05Z",
                             "2027-01-02T03:04Z",
                             "2027-13-01T00:00:00Z",
                             "2027-02-29T00:00:00Z",
                             "2100-02-29T00:00:00Z",
                             "2027-04-31T00:00:00Z",
                             "2027-01-00T00:00:00Z",
                             "2027-01-02T24:00:00Z",
                             "2027-01-02T23:60:00Z",
                             "2027-01-02T23:59:60Z",
                             "2027-01-02T03:04:05.Z",
                             "2027-01-02T03:04:05+0300",
                             "2027-01-02T03:04:05+24:00",
                             "2027-01-02T03:04:05Zjunk",
                             "+2027-01-02T03:04:05Z",
                             "２027-01-02T03:04:05Z",
                             "27-01-02T03:04:05Z",
                             "2027-1-02T03:04:05Z",
                             "2027-01-02t03:04:05Z"}) {
        EXPECT_FALSE(parseMillisecondsEitherForm(text)) << text;
    }
}

}  // namespace
}  // namespace velurio
