#include "core/latency_tracker.h"

#include "protocol/canonical_json.h"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace velurio {

// --- LatencySummary ---------------------------------------------------------------------------

std::string LatencySummary::toJSON() const {
    std::string out = "{\"samples\":";
    CanonicalJSON::appendInteger(out, samples);
    out += ",\"p50\":";
    CanonicalJSON::appendNumber(out, p50);
    out += ",\"p95\":";
    CanonicalJSON::appendNumber(out, p95);
    out += ",\"mean\":";
    CanonicalJSON::appendNumber(out, mean);
    out += ",\"max\":";
    CanonicalJSON::appendNumber(out, max);
    out += '}';
    return out;
}

Result<LatencySummary, std::string> LatencySummary::fromJSON(std::string_view json) {
    simdjson::dom::parser parser;
    simdjson::padded_string padded(json);
    simdjson::dom::element document;
    if (auto status = parser.parse(padded).get(document); status != simdjson::SUCCESS) {
        return fail(std::string("not valid JSON: ") + simdjson::error_message(status));
    }
    simdjson::dom::object object;
    if (document.get_object().get(object) != simdjson::SUCCESS) {
        return fail(std::string("not a JSON object"));
    }
    LatencySummary summary;
    simdjson::dom::element value;
    if (object.at_key("samples").get(value) != simdjson::SUCCESS) {
        return fail(std::string("missing key \"samples\""));
    }
    if (value.get_int64().get(summary.samples) != simdjson::SUCCESS) {
        // An integral double (e.g. 3.0) is accepted as the integer it equals.
        double number = 0;
        if (value.get_double().get(number) != simdjson::SUCCESS || std::trunc(number) != number ||
            std::abs(number) >= 9.2e18) {
            return fail(std::string("\"samples\" is not an integer"));
        }
        summary.samples = static_cast<std::int64_t>(number);
    }
    for (auto [key, field] : {std::pair<const char*, double*>{"p50", &summary.p50},
                              {"p95", &summary.p95},
                              {"mean", &summary.mean},
                              {"max", &summary.max}}) {
        if (object.at_key(key).get(value) != simdjson::SUCCESS) {
            return fail(std::string("missing key \"") + key + "\"");
        }
        if (value.get_double().get(*field) != simdjson::SUCCESS) {
            return fail(std::string("\"") + key + "\" is not a number");
        }
    }
    return summary;
}

std::optional<std::int64_t> roundTripMs(std::int64_t nowMs, std::int64_t sentMs) noexcept {
    if (sentMs > nowMs) {
        return std::nullopt;
    }
    // nowMs - sentMs exceeds the maximum exactly when sentMs < nowMs - max; nowMs - max cannot
    // overflow itself, whatever the sign of nowMs.
    if (nowMs >= 0 && sentMs < nowMs - std::numeric_limits<std::int64_t>::max()) {
        return std::nullopt;
    }
    return nowMs - sentMs;
}

// --- LatencyTracker ---------------------------------------------------------------------------

LatencyTracker::LatencyTracker(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1)), m_ring(m_capacity) {
    m_scratch.reserve(m_capacity);
}

std::optional<double> LatencyTracker::last() const noexcept {
    if (m_count == 0)
        return std::nullopt;
    return m_ring[(m_start + m_count - 1) % m_capacity];
}

std::vector<double> LatencyTracker::samples() const {
    std::vector<double> out;
    out.reserve(m_count);
    for (std::size_t i = 0; i < m_count; ++i)
        out.push_back(m_ring[(m_start + i) % m_capacity]);
    return out;
}

void LatencyTracker::record(double sampleMs) noexcept {
    if (std::isnan(sampleMs))
        return;  // cannot be ordered; would break every percentile
    if (m_count == m_capacity) {
        m_ring[m_start] = sampleMs;
        m_start = (m_start + 1) % m_capacity;
    } else {
        m_ring[(m_start + m_count) % m_capacity] = sampleMs;
        ++m_count;
    }
}

void LatencyTracker::reset() noexcept {
    m_start = 0;
    m_count = 0;
}

std::optional<double> LatencyTracker::percentile(double p) const {
    if (m_count == 0 || std::isnan(p))
        return std::nullopt;
    p = std::clamp(p, 0.0, 100.0);
    const double n = static_cast<double>(m_count);
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * n));
    rank = std::clamp<std::size_t>(rank, 1, m_count);
    // The rank-th smallest; selecting it gives the same value as sorting the whole copy.
    // Order within the copy does not matter, so the ring is copied as it lies: while not full
    // the samples occupy its first m_count slots (m_start only moves once it is full).
    m_scratch.assign(m_ring.begin(), m_ring.begin() + static_cast<std::ptrdiff_t>(m_count));
    auto nth = m_scratch.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(m_scratch.begin(), nth, m_scratch.end());
    return *nth;
}

std::optional<double> LatencyTracker::mean() const noexcept {
    if (m_count == 0)
        return std::nullopt;
    double sum = 0;  // in arrival order, as a plain list would add them
    for (std::size_t i = 0; i < m_count; ++i)
        sum += m_ring[(m_start + i) % m_capacity];
    return sum / static_cast<double>(m_count);
}

std::optional<LatencySummary> LatencyTracker::summary() const {
    if (m_count == 0)
        return std::nullopt;
    double largest = m_ring[m_start];
    for (std::size_t i = 0; i < m_count; ++i)
        largest = std::max(largest, m_ring[(m_start + i) % m_capacity]);
    return LatencySummary{static_cast<std::int64_t>(m_count), *p50(), *p95(), *mean(), largest};
}

}  // namespace velurio
