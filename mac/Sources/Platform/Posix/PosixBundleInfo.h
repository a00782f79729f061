#pragma once

#include "Platform/BundleInfo.h"

namespace tavrelin::posix {

// Reads <bundle>/Contents/Info.plist from disk.
class PosixBundleInfo final : public platform::BundleInfoReader {
public:
    std::optional<std::map<std::string, std::string>> infoStrings(const std::string& bundlePath) const override;
};

} // namespace tavrelin::posix
