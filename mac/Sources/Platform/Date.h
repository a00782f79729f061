#pragma once

#include <compare>
#include <cstdint>
#include <optional>

namespace tavrelin::platform {

// Seconds; fractions allowed.
using TimeInterval = double;

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the reference date
// the pairing file stores. Held as a double so a stored value round-trips exactly.
struct Date {
    double sinceReferenceDate = 0;

    // Seconds between the Unix epoch and the reference date.
    static constexpr double unixEpochOffset = 978307200.0;

    static Date fromUnix(double unixSeconds) { return Date{unixSeconds - unixEpochOffset}; }
    double unixSeconds() const { return sinceReferenceDate + unixEpochOffset; }

    Date operator+(TimeInterval seconds) const { return Date{sinceReferenceDate + seconds}; }
    TimeInterval operator-(Date other) const { return sinceReferenceDate - other.sinceReferenceDate; }
    auto operator<=>(const Date&) const = default;
};

// Calendar fields without a time zone, as read from a relay item's due text.
// Values are not held to their ranges (month 13 is kept as 13).
struct DateComponents {
    std::optional<std::int64_t> year, month, day, hour, minute;
    bool operator==(const DateComponents&) const = default;
};

} // namespace tavrelin::platform
