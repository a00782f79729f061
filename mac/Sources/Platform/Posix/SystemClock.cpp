#include "Platform/Posix/SystemClock.h"

#include <chrono>
#include <climits>
#include <ctime>

namespace tavrelin::posix {
namespace {

bool fitsInt(std::int64_t value) {
    return value >= INT_MIN && value <= INT_MAX;
}

} // namespace

platform::Date SystemClock::now() const {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return platform::Date::fromUnix(static_cast<double>(sinceEpoch.count()) / 1e6);
}

std::optional<platform::Date> SystemClock::localDate(const platform::DateComponents& components) const {
    if (!components.year || !components.month || !components.day)
        return std::nullopt;
    const std::int64_t hour = components.hour.value_or(0), minute = components.minute.value_or(0);
    // tm_year counts from 1900 and tm_mon from 0; both shifts must still fit.
    if (!fitsInt(*components.year) || !fitsInt(*components.year - 1900) || !fitsInt(*components.month) ||
        !fitsInt(*components.month - 1) || !fitsInt(*components.day) || !fitsInt(hour) || !fitsInt(minute))
        return std::nullopt;

    std::tm fields{};
    fields.tm_year = static_cast<int>(*components.year - 1900);
    fields.tm_mon = static_cast<int>(*components.month - 1);
    fields.tm_mday = static_cast<int>(*components.day);
    fields.tm_hour = static_cast<int>(hour);
    fields.tm_min = static_cast<int>(minute);
    fields.tm_sec = 0;
    fields.tm_isdst = -1; // let the zone's rules decide
    // mktime answers -1 both for failure and for one second before 1970; the
    // normalised fields tell them apart.
    fields.tm_wday = -1;
    const std::time_t moment = std::mktime(&fields);
    if (moment == static_cast<std::time_t>(-1) && fields.tm_wday == -1)
        return std::nullopt;
    return platform::Date::fromUnix(static_cast<double>(moment));
}

} // namespace tavrelin::posix
