#include "TavrelinMac/AppInfo.h"

namespace tavrelin {

const std::string& AppInfo::version() const {
    std::call_once(once_, [this] { version_ = bundle_.infoString("CFBundleShortVersionString").value_or("0.0.0"); });
    return version_;
}

} // namespace tavrelin
