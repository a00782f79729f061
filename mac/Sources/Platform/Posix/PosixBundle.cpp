#include "Platform/Posix/PosixBundle.h"

#include "Base/Text.h"
#include "Platform/BundleLayout.h"
#include "Platform/Posix/PosixFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace tavrelin::posix {
namespace {

constexpr std::size_t maxPlistBytes = 1024 * 1024;

std::string runningExecutable() {
#if defined(__APPLE__)
    char path[PATH_MAX];
    std::uint32_t size = sizeof path;
    char resolved[PATH_MAX];
    if (::_NSGetExecutablePath(path, &size) != 0 || !::realpath(path, resolved))
        return {};
    return resolved;
#else
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(length));
#endif
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return std::pair<std::uint64_t, std::uint64_t>(info.st_dev, info.st_ino);
}

void appendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

struct Malformed {};

// Just enough XML for property lists: elements, character data with the
// predefined and numeric entities, CDATA, comments, <?…?> and <!DOCTYPE …>.
class PlistReader {
public:
    explicit PlistReader(std::string_view text) : s_(text) {}

    struct Tag {
        std::string name;
        bool closing = false;
        bool selfClosing = false;
    };

    std::map<std::string, std::string> topLevelStrings() {
        std::map<std::string, std::string> entries;
        Tag root = nextTag();
        if (root.name == "plist" && !root.closing && !root.selfClosing)
            root = nextTag();
        if (root.name != "dict" || root.closing)
            throw Malformed{};
        if (root.selfClosing)
            return entries;
        while (true) {
            Tag tag = nextTag();
            if (tag.name == "dict" && tag.closing)
                return entries;
            if (tag.name != "key" || tag.closing)
                throw Malformed{};
            std::string key = tag.selfClosing ? std::string() : textUntilClose("key");
            Tag value = nextTag();
            if (value.closing)
                throw Malformed{};
            if (value.name == "string")
                entries[key] = value.selfClosing ? std::string() : textUntilClose("string");
            else if (!value.selfClosing)
                skipElement(value.name);
        }
    }

private:
    bool startsWith(std::string_view prefix) const { return s_.substr(i_, prefix.size()) == prefix; }

    void skipPast(std::string_view terminator) {
        std::size_t end = s_.find(terminator, i_);
        if (end == std::string_view::npos)
            throw Malformed{};
        i_ = end + terminator.size();
    }

    // Skips white space, comments, declarations and processing instructions.
    void skipMisc() {
        while (true) {
            while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
                ++i_;
            if (startsWith("<!--"))
                skipPast("-->");
            else if (startsWith("<?"))
                skipPast("?>");
            else if (startsWith("<!DOCTYPE"))
                skipPast(">");
            else
                return;
        }
    }

    Tag nextTag() {
        skipMisc();
        if (i_ >= s_.size() || s_[i_] != '<')
            throw Malformed{};
        return readTag();
    }

    // At "<": reads one tag, attributes skipped.
    Tag readTag() {
        Tag tag;
        ++i_;
        if (i_ < s_.size() && s_[i_] == '/') {
            tag.closing = true;
            ++i_;
        }
        while (i_ < s_.size() && s_[i_] != '>' && s_[i_] != '/' && s_[i_] != ' ' && s_[i_] != '\t' && s_[i_] != '\n' &&
               s_[i_] != '\r')
            tag.name += s_[i_++];
        if (tag.name.empty())
            throw Malformed{};
        char quote = 0;
        for (; i_ < s_.size(); ++i_) {
            char c = s_[i_];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                tag.selfClosing = s_[i_ - 1] == '/';
                ++i_;
                return tag;
            }
        }
        throw Malformed{};
    }

    // Character data up to </name>; markup inside is malformed except CDATA and comments.
    std::string textUntilClose(const std::string& name) {
        std::string text;
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == '&') {
                text += entity();
            } else if (c == '<') {
                if (startsWith("<![CDATA[")) {
                    i_ += 9;
                    std::size_t end = s_.find("]]>", i_);
                    if (end == std::string_view::npos)
                        throw Malformed{};
                    text.append(s_.substr(i_, end - i_));
                    i_ = end + 3;
                } else if (startsWith("<!--")) {
                    skipPast("-->");
                } else {
                    Tag tag = readTag();
                    if (!tag.closing || tag.name != name)
                        throw Malformed{};
                    return text;
                }
            } else {
                text += c;
                ++i_;
            }
        }
        throw Malformed{};
    }

    std::string entity() {
        std::size_t end = s_.find(';', i_);
        if (end == std::string_view::npos || end - i_ > 12)
            throw Malformed{};
        std::string_view name = s_.substr(i_ + 1, end - i_ - 1);
        i_ = end + 1;
        if (name == "lt")
            return "<";
        if (name == "gt")
            return ">";
        if (name == "amp")
            return "&";
        if (name == "quot")
            return "\"";
        if (name == "apos")
            return "'";
        if (name.size() >= 2 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            std::string digits(name.substr(hex ? 2 : 1));
            if (digits.empty() || digits.size() > 8)
                throw Malformed{};
            char* stop = nullptr;
            unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
            if (*stop != '\0' || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                throw Malformed{};
            std::string out;
            appendUtf8(out, code);
            return out;
        }
        throw Malformed{};
    }

    // After the open tag of `name`: skips to its matching close tag.
    void skipElement(const std::string& name) {
        int depth = 1;
        while (depth > 0) {
            std::size_t next = s_.find('<', i_);
            if (next == std::string_view::npos)
                throw Malformed{};
            i_ = next;
            if (startsWith("<![CDATA[")) {
                skipPast("]]>");
            } else if (startsWith("<!--")) {
                skipPast("-->");
            } else {
                Tag tag = readTag();
                if (tag.closing)
                    --depth;
                else if (!tag.selfClosing)
                    ++depth;
                if (depth == 0 && tag.name != name)
                    throw Malformed{};
            }
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

} // namespace

PosixBundle::PosixBundle() : PosixBundle(runningExecutable()) {}

PosixBundle::PosixBundle(const std::string& executablePath) : running_(fileIdentity(runningExecutable())) {
    if (auto held = bundle::holding(executablePath)) {
        path_ = *held;
        if (auto plist = PosixFiles().readRegularFile(bundle::inside(path_, bundle::infoPlist), maxPlistBytes))
            info_ = readInfoStrings(*plist);
    } else {
        path_ = text::splitPath(executablePath).folder;
    }
}

bool PosixBundle::stillAtPath() const {
    // The running program's file, as it was at start, against the one the
    // path names now: after a rename or a replacement they differ.
    return running_ && fileIdentity(bundle::inside(path_, bundle::agent)) == running_;
}

std::map<std::string, std::string> PosixBundle::readInfoStrings(std::string_view plist) {
    try {
        return PlistReader(plist).topLevelStrings();
    } catch (const Malformed&) {
        return {};
    }
}

std::optional<std::string> PosixBundle::infoString(const std::string& key) const {
    auto it = info_.find(key);
    if (it == info_.end())
        return std::nullopt;
    return it->second;
}

platform::OperatingSystemVersion PosixBundle::operatingSystemVersion() const {
    platform::OperatingSystemVersion version;
    utsname names{};
    if (::uname(&names) != 0)
        return version;
    version.text = std::string(names.sysname) + " " + names.release;
    // "6.1.0-18-amd64": the leading dotted numbers.
    int* fields[] = {&version.major, &version.minor, &version.patch};
    const char* p = names.release;
    for (int* field : fields) {
        if (*p < '0' || *p > '9')
            break;
        long value = 0;
        while (*p >= '0' && *p <= '9' && value < 100000)
            value = value * 10 + (*p++ - '0');
        *field = static_cast<int>(value);
        if (*p != '.')
            break;
        ++p;
    }
    return version;
}

std::string PosixBundle::homeDirectory() const {
    return posix::homeDirectory();
}

} // namespace tavrelin::posix
