#pragma once

#include "Platform/Date.h"

namespace tavrelin::platform {

// The wall clock and the local calendar.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
    // The moment the components denote in the current calendar and time zone,
    // seconds zero; out-of-range fields carry over (month 13 is next January).
    // None when the components cannot form a date.
    virtual std::optional<Date> localDate(const DateComponents& components) const = 0;
};

} // namespace tavrelin::platform
