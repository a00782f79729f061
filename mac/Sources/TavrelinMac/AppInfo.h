#pragma once

#include "Platform/Bundle.h"

#include <mutex>
#include <string>

namespace tavrelin {

// The application's version text: the bundle's CFBundleShortVersionString,
// else "0.0.0". Read once on first use and kept.
class AppInfo {
public:
    explicit AppInfo(const platform::Bundle& bundle) : bundle_(bundle) {}
    const std::string& version() const;

private:
    const platform::Bundle& bundle_;
    mutable std::once_flag once_;
    mutable std::string version_;
};

} // namespace tavrelin
