#include "Platform/Posix/PosixBundleInfo.h"
#include "Platform/BundleLayout.h"

#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixFiles.h"

namespace tavrelin::posix {

std::optional<std::map<std::string, std::string>> PosixBundleInfo::infoStrings(const std::string& bundlePath) const {
    PosixFiles files;
    auto plist = files.readRegularFile(bundle::inside(bundlePath, bundle::infoPlist), 1024 * 1024);
    if (!plist)
        return std::nullopt;
    auto entries = PosixBundle::readInfoStrings(*plist);
    if (entries.empty())
        return std::nullopt; // not a dictionary, or one without a single string
    return entries;
}

} // namespace tavrelin::posix
