// Random text as an internet date-time. Checks that parsing never crashes, that an accepted
// text is a well-formed date-time, and that the instant it names, written back in UTC with
// milliseconds, parses to the same instant.
#include "core/internet_date_time.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// The civil date of a day count from 1970-01-01 (proleptic Gregorian).
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace IDT = velurio::InternetDateTime;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto either = IDT::parseMillisecondsEitherForm(text);
    const auto withFraction = IDT::parseMilliseconds(text, IDT::Fraction::required);
    const auto without = IDT::parseMilliseconds(text, IDT::Fraction::forbidden);
    if (withFraction && without) {
        std::abort();  // a text has one form or the other
    }
    if (either != (withFraction ? withFraction : without)) {
        std::abort();
    }
    if (!either) {
        return 0;
    }
    if (size < 20 || text[10] != 'T') {
        std::abort();
    }
    const std::int64_t ms = *either;
    const std::int64_t days = floorDiv(ms, 86'400'000);
    const std::int64_t inDay = ms - days * 86'400'000;
    std::int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    if (year < 0 || year > 9999) {
        return 0;  // an offset moved it outside what four digits can write
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02dT%02lld:%02lld:%02lld.%03lldZ",
                  static_cast<long long>(year), month, day,
                  static_cast<long long>(inDay / 3'600'000),
                  static_cast<long long>(inDay / 60'000 % 60),
                  static_cast<long long>(inDay / 1000 % 60), static_cast<long long>(inDay % 1000));
    if (IDT::parseMilliseconds(buffer, IDT::Fraction::required) != ms) {
        std::abort();
    }
    return 0;
}
