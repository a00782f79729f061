#pragma once

#include "Platform/Clock.h"

namespace tavrelin::posix {

// The system's wall clock and local time zone.
class SystemClock final : public platform::Clock {
public:
    platform::Date now() const override;
    std::optional<platform::Date> localDate(const platform::DateComponents& components) const override;
};

} // namespace tavrelin::posix
