#include "core/internet_date_time.h"

namespace velurio::InternetDateTime {
namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : m_text(text) {}

    // Exactly `count` decimal digits.
    std::optional<int> digits(std::size_t count) {
        if (m_text.size() - m_pos < count) {
            return std::nullopt;
        }
        int value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = m_text[m_pos + i];
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        m_pos += count;
        return value;
    }
    bool literal(char c) {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    std::optional<char> peek() const {
        return m_pos < m_text.size() ? std::optional<char>(m_text[m_pos]) : std::nullopt;
    }
    bool atEnd() const { return m_pos == m_text.size(); }

  private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

bool isLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t daysFromCivil(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

}  // namespace

std::optional<std::int64_t> parseMilliseconds(std::string_view text, Fraction fraction) {
    Reader reader(text);
    const auto year = reader.digits(4);
    if (!year || !reader.literal('-')) {
        return std::nullopt;
    }
    const auto month = reader.digits(2);
    if (!month || !reader.literal('-')) {
        return std::nullopt;
    }
    const auto day = reader.digits(2);
    if (!day || !reader.literal('T')) {
        return std::nullopt;
    }
    const auto hour = reader.digits(2);
    if (!hour || !reader.literal(':')) {
        return std::nullopt;
    }
    const auto minute = reader.digits(2);
    if (!minute || !reader.literal(':')) {
        return std::nullopt;
    }
    const auto second = reader.digits(2);
    if (!second) {
        return std::nullopt;
    }
    int milliseconds = 0;
    const bool hasFraction = reader.literal('.');
    if (hasFraction != (fraction == Fraction::required)) {
        return std::nullopt;
    }
    if (hasFraction) {
        int count = 0;
        while (const auto digit = reader.digits(1)) {
            if (count < 3) {
                milliseconds = milliseconds * 10 + *digit;
            }
            ++count;
        }
        if (count == 0) {
            return std::nullopt;
        }
        for (int i = count; i < 3; ++i) {
            milliseconds *= 10;
        }
    }
    int offsetMinutes = 0;
    if (!reader.literal('Z')) {
        const auto sign = reader.peek();
        if (!sign || (*sign != '+' && *sign != '-')) {
            return std::nullopt;
        }
        reader.literal(*sign);
        const auto offsetHours = reader.digits(2);
        if (!offsetHours || !reader.literal(':')) {
            return std::nullopt;
        }
        const auto offsetMins = reader.digits(2);
        if (!offsetMins || *offsetHours > 23 || *offsetMins > 59) {
            return std::nullopt;
        }
        offsetMinutes = (*offsetHours * 60 + *offsetMins) * (*sign == '-' ? -1 : 1);
    }
    if (!reader.atEnd()) {
        return std::nullopt;
    }
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    const std::int64_t days = daysFromCivil(*year, *month, *day);
    const std::int64_t seconds =
        days * 86400 + *hour * 3600 + *minute * 60 + *second - offsetMinutes * 60;
    return seconds * 1000 + milliseconds;
}

std::optional<std::int64_t> parseMillisecondsEitherForm(std::string_view text) {
    if (auto withFraction = parseMilliseconds(text, Fraction::required)) {
        return withFraction;
    }
    return parseMilliseconds(text, Fraction::forbidden);
}

}  // namespace velurio::InternetDateTime
