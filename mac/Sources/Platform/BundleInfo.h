#pragma once

#include <map>
#include <optional>
#include <string>

namespace tavrelin::platform {

// Reads another bundle's information (not the running one's).
class BundleInfoReader {
public:
    virtual ~BundleInfoReader() = default;
    // The string entries of <bundle>/Contents/Info.plist's top-level
    // dictionary; none when it cannot be read as a dictionary.
    virtual std::optional<std::map<std::string, std::string>> infoStrings(const std::string& bundlePath) const = 0;
};

} // namespace tavrelin::platform
