#pragma once

#include <optional>
#include <string>

namespace tavrelin::platform {

struct OperatingSystemVersion {
    int major = 0, minor = 0, patch = 0;
    std::string text;
};

// The running application's bundle and the system it runs on.
class Bundle {
public:
    virtual ~Bundle() = default;
    virtual std::string path() const = 0;
    // True while the agent at path() is this very program. Once the bundle
    // was renamed or replaced under the running agent (an update's swap),
    // the copy at that place is another one.
    virtual bool stillAtPath() const = 0;
    virtual std::optional<std::string> identifier() const = 0;
    // A string entry of the bundle's information, if present and a string.
    virtual std::optional<std::string> infoString(const std::string& key) const = 0;
    virtual OperatingSystemVersion operatingSystemVersion() const = 0;
    virtual std::string homeDirectory() const = 0;
};

} // namespace tavrelin::platform
