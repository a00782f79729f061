#include "Verifier/Seal.h"
#include "Platform/BundleLayout.h"

#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/Sha256.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrelin::seal {
namespace {

namespace fs = std::filesystem;

constexpr const char* header = "tavrelin-seal 1";
constexpr std::size_t maxSealBytes = 16 * 1024 * 1024;

struct Entry {
    std::string kind;   // dir, file, link
    std::string mode;   // four octal digits
    std::string digest; // SHA-256 of the content or link target; "-" for folders
    bool operator==(const Entry&) const = default;
};

// Reads through a descriptor opened without following links, so what is
// hashed is the very file that was examined.
std::optional<std::string> sha256OfFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    posix::Sha256 hash;
    char buffer[64 * 1024];
    bool ok = true;
    while (true) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        hash.update(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return hash.hexDigest();
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// An entry as it stands on disk; none for a kind a bundle must not hold.
std::optional<Entry> describe(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::nullopt;
    if (S_ISDIR(info.st_mode))
        return Entry{"dir", octal(info.st_mode), "-"};
    if (S_ISREG(info.st_mode)) {
        auto digest = sha256OfFile(path);
        if (!digest)
            return std::nullopt;
        return Entry{"file", octal(info.st_mode), *digest};
    }
    if (S_ISLNK(info.st_mode)) {
        std::error_code error;
        fs::path target = fs::read_symlink(path, error);
        if (error)
            return std::nullopt;
        return Entry{"link", "0777", posix::sha256Hex(target.string())};
    }
    return std::nullopt;
}

bool isSealPath(const std::string& relative) {
    return relative == sealFolder || relative.starts_with(std::string(sealFolder) + "/");
}

// Every relative path below the bundle (links not followed), sealed folder
// excepted; a path that cannot be written on one manifest line throws.
std::vector<std::string> walk(const std::string& bundle) {
    std::vector<std::string> paths;
    std::error_code error;
    fs::recursive_directory_iterator it(bundle, fs::directory_options::none, error), end;
    if (error)
        throw std::runtime_error(bundle + ": " + error.message());
    for (; it != end; it.increment(error)) {
        if (error)
            throw std::runtime_error(bundle + ": " + error.message());
        std::string relative = it->path().lexically_relative(bundle).generic_string();
        if (relative.find_first_of("\n\r") != std::string::npos)
            throw std::runtime_error(it->path().string() + ": a name with a line break cannot be sealed");
        if (isSealPath(relative)) {
            if (relative == sealFolder)
                it.disable_recursion_pending();
            continue;
        }
        paths.push_back(std::move(relative));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::optional<std::string> readFile(const std::string& path) {
    posix::PosixFiles files;
    return files.readRegularFile(path, maxSealBytes);
}

// Whether a link stored at `relative` with `target` stays inside the bundle,
// read lexically: an absolute target, or one whose ".." climbs above the
// bundle's root, does not.
bool staysInside(const std::string& relative, const std::string& target) {
    if (target.empty() || target[0] == '/')
        return false;
    std::vector<std::string> parts;
    std::stringstream folder(relative);
    std::string part;
    while (std::getline(folder, part, '/'))
        parts.push_back(part);
    parts.pop_back(); // the link's own name
    std::stringstream steps(target);
    while (std::getline(steps, part, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty())
                return false;
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    return true;
}

std::optional<std::string> decodeBase64(const std::string& text) {
    std::string out(text.size(), '\0');
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr, &length,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    out.resize(length);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

enum class SignatureCheck { good, otherKey, bad };

// minisign's format: an untrusted comment, the signature (algorithm, key id,
// Ed25519 signature of the message or of its BLAKE2b-512 hash), the trusted
// comment, and a signature of the signature and the trusted comment.
SignatureCheck checkSignature(const std::string& publicKey, const std::string& signatureFile, const std::string& message) {
    auto key = decodeBase64(publicKey);
    if (!key || key->size() != 2 + 8 + crypto_sign_PUBLICKEYBYTES || key->compare(0, 2, "Ed") != 0)
        return SignatureCheck::otherKey;
    const auto text = lines(signatureFile);
    if (text.size() < 4 || !text[0].starts_with("untrusted comment:") || !text[2].starts_with("trusted comment: "))
        return SignatureCheck::bad;
    auto signature = decodeBase64(text[1]);
    auto global = decodeBase64(text[3]);
    if (!signature || signature->size() != 2 + 8 + crypto_sign_BYTES || !global || global->size() != crypto_sign_BYTES)
        return SignatureCheck::bad;
    if (signature->compare(2, 8, *key, 2, 8) != 0)
        return SignatureCheck::otherKey;
    const auto* pk = reinterpret_cast<const unsigned char*>(key->data() + 10);
    const auto* sig = reinterpret_cast<const unsigned char*>(signature->data() + 10);

    std::string signed_;
    const std::string algorithm = signature->substr(0, 2);
    if (algorithm == "ED") {
        unsigned char hash[crypto_generichash_BYTES_MAX];
        crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(message.data()), message.size(), nullptr,
                           0);
        signed_.assign(reinterpret_cast<const char*>(hash), sizeof hash);
    } else if (algorithm == "Ed") {
        signed_ = message;
    } else {
        return SignatureCheck::bad;
    }
    if (crypto_sign_verify_detached(sig, reinterpret_cast<const unsigned char*>(signed_.data()), signed_.size(), pk) != 0)
        return SignatureCheck::bad;
    const std::string comment = text[2].substr(std::strlen("trusted comment: "));
    const std::string both = signature->substr(10) + comment;
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(global->data()),
                                    reinterpret_cast<const unsigned char*>(both.data()), both.size(), pk) != 0)
        return SignatureCheck::bad;
    return SignatureCheck::good;
}

// Parses the manifest; none when it is not one.
std::optional<std::map<std::string, Entry>> parseManifest(const std::string& text) {
    auto all = lines(text);
    if (all.empty() || all[0] != header)
        return std::nullopt;
    std::map<std::string, Entry> entries;
    for (std::size_t i = 1; i < all.size(); ++i) {
        const std::string& line = all[i];
        std::size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1),
                    c = b == std::string::npos ? b : line.find(' ', b + 1);
        if (c == std::string::npos || c + 1 >= line.size())
            return std::nullopt;
        Entry entry{line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1, c - b - 1)};
        if (!entries.emplace(line.substr(c + 1), entry).second)
            return std::nullopt;
    }
    return entries;
}

} // namespace

std::string manifestOf(const std::string& bundle) {
    std::string text = std::string(header) + "\n";
    for (const std::string& relative : walk(bundle)) {
        auto entry = describe(bundle + "/" + relative);
        if (!entry)
            throw std::runtime_error(bundle + "/" + relative + ": not a folder, file or link, or unreadable");
        text += entry->kind + " " + entry->mode + " " + entry->digest + " " + relative + "\n";
    }
    return text;
}

void writeManifest(const std::string& bundle) {
    const std::string text = manifestOf(bundle);
    fs::create_directories(bundle + "/" + sealFolder);
    std::ofstream out(bundle + "/" + sealFolder + "/" + manifestName, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error(bundle + ": could not write the manifest");
}

Findings verify(const std::string& trusted, const std::string& bundle) {
    if (sodium_init() < 0)
        return {bundle + ": the signature library could not start"};

    const auto info = readFile(bundle::inside(trusted, bundle::infoPlist));
    const auto strings = info ? posix::PosixBundle::readInfoStrings(*info) : std::map<std::string, std::string>{};
    const auto key = strings.find(publicKeyKey);
    if (key == strings.end() || key->second.empty())
        return {trusted + ": no update signing key is set, so no update can be trusted"};

    struct stat root {};
    if (::lstat(bundle.c_str(), &root) != 0 || !S_ISDIR(root.st_mode))
        return {bundle + ": No such file or directory"};

    const std::string seal = bundle + "/" + sealFolder + "/";
    const auto manifest = readFile(seal + manifestName);
    const auto signature = readFile(seal + signatureName);
    if (!manifest || !signature)
        return {bundle + ": code object is not signed at all"};
    switch (checkSignature(key->second, *signature, *manifest)) {
    case SignatureCheck::otherKey:
        return {bundle + ": code failed to satisfy specified code requirement(s)"};
    case SignatureCheck::bad:
        return {bundle + ": invalid signature (code or signature have been modified)"};
    case SignatureCheck::good:
        break;
    }
    const auto listed = parseManifest(*manifest);
    if (!listed)
        return {bundle + ": invalid signature (code or signature have been modified)"};

    Findings details;
    std::vector<std::string> present;
    try {
        present = walk(bundle);
    } catch (const std::exception& error) {
        return {bundle + ": a sealed resource is missing or invalid", error.what()};
    }
    // Only the two seal files may stand in the seal folder.
    std::error_code error;
    for (const auto& item : fs::directory_iterator(bundle + "/" + sealFolder, error)) {
        const std::string name = item.path().filename().string();
        if ((name != manifestName && name != signatureName) || !item.is_regular_file())
            details.push_back("file added: " + item.path().string());
    }
    for (const std::string& relative : present) {
        const std::string path = bundle + "/" + relative;
        auto it = listed->find(relative);
        auto entry = describe(path);
        if (it == listed->end()) {
            details.push_back("file added: " + path);
        } else if (!entry || !(*entry == it->second)) {
            details.push_back("file modified: " + path);
        }
        if (entry && entry->kind == "link" && !staysInside(relative, fs::read_symlink(path, error).string()))
            details.push_back(path + ": invalid destination for symbolic link in bundle");
    }
    for (const auto& [relative, entry] : *listed) {
        if (!std::binary_search(present.begin(), present.end(), relative))
            details.push_back("file missing: " + bundle + "/" + relative);
    }
    if (details.empty())
        return {};
    Findings findings{bundle + ": a sealed resource is missing or invalid"};
    findings.insert(findings.end(), details.begin(), details.end());
    return findings;
}

} // namespace tavrelin::seal
