#pragma once

#include "Platform/Bundle.h"

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace tavrelin::posix {

// The running program's bundle: <X>.app when the executable sits at
// <X>.app/Contents/MacOS/<exe>, with its Contents/Info.plist read once.
// Otherwise the executable's folder, with no information entries.
class PosixBundle final : public platform::Bundle {
public:
    PosixBundle(); // the running executable
    explicit PosixBundle(const std::string& executablePath);

    std::string path() const override { return path_; }
    bool stillAtPath() const override;
    std::optional<std::string> identifier() const override { return infoString("CFBundleIdentifier"); }
    std::optional<std::string> infoString(const std::string& key) const override;
    platform::OperatingSystemVersion operatingSystemVersion() const override;
    std::string homeDirectory() const override;

    // The string entries of an XML property list's top-level dictionary;
    // entries of other types are left out. Empty when it cannot be read.
    static std::map<std::string, std::string> readInfoStrings(std::string_view plist);

private:
    std::string path_;
    std::map<std::string, std::string> info_;
    // The running program's file (device, inode), taken at construction,
    // before anything could rename it.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> running_;
};

} // namespace tavrelin::posix
