#pragma once

// Fakes the update pipeline needs beyond the common fake platform.

#include "Platform/BundleInfo.h"

#include <map>
#include <optional>
#include <string>

namespace tavrelin::fake {

// Information of bundles on disk, by bundle path.
class FakeBundleInfo final : public platform::BundleInfoReader {
public:
    std::optional<std::map<std::string, std::string>> infoStrings(const std::string& bundlePath) const override {
        auto it = bundles.find(bundlePath);
        if (it == bundles.end())
            return std::nullopt;
        return it->second;
    }
    std::map<std::string, std::map<std::string, std::string>> bundles;
};

} // namespace tavrelin::fake
