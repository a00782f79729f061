#include "Platform/Posix/PosixUpdateSystem.h"
#include "Base/Text.h"
#include "Platform/BundleLayout.h"
#include "Platform/Files.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tavrelin::posix {
namespace {

using platform::FileError;
using platform::UnpackError;

[[noreturn]] void fail(const std::string& action, const std::string& path, int error) {
    throw FileError("Could not " + action + " “" + path + "”: " + std::strerror(error));
}

// libarchive is loaded for an unpack rather than for the agent's whole life:
// it and the compression libraries only it uses are some 150 kB resident.
#define TAVRELIN_LIBARCHIVE(X)                                                                                                 \
    X(archive_read_new)                                                                                                        \
    X(archive_read_support_format_zip)                                                                                         \
    X(archive_read_open_filename)                                                                                              \
    X(archive_read_next_header)                                                                                                \
    X(archive_read_data)                                                                                                       \
    X(archive_read_free)                                                                                                       \
    X(archive_error_string)                                                                                                    \
    X(archive_entry_pathname)                                                                                                  \
    X(archive_entry_hardlink)                                                                                                  \
    X(archive_entry_filetype)                                                                                                  \
    X(archive_entry_perm)                                                                                                      \
    X(archive_entry_size_is_set)                                                                                               \
    X(archive_entry_size)

struct Libarchive {
#define TAVRELIN_DECLARE(name) decltype(&::name) name;
    TAVRELIN_LIBARCHIVE(TAVRELIN_DECLARE)
#undef TAVRELIN_DECLARE
};

// Kept loaded once loaded; a failed load is tried again at the next unpack.
const Libarchive& libarchive() {
    static const Libarchive loaded = [] {
#if defined(__APPLE__)
        constexpr const char* library = "libarchive.2.dylib";
#else
        constexpr const char* library = "libarchive.so.13";
#endif
        void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw UnpackError(std::string("libarchive cannot be loaded: ") + ::dlerror());
        Libarchive functions{};
#define TAVRELIN_RESOLVE(name)                                                                                                 \
    if (!(functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name))))                                       \
        throw UnpackError("libarchive has no " #name);
        TAVRELIN_LIBARCHIVE(TAVRELIN_RESOLVE)
#undef TAVRELIN_RESOLVE
        return functions;
    }();
    return loaded;
}

// One pass over a zip archive.
class Reader {
public:
    explicit Reader(const std::string& path) : archive_(libarchive().archive_read_new()) {
        if (!archive_)
            throw UnpackError("no memory to read the archive");
        libarchive().archive_read_support_format_zip(archive_);
        if (libarchive().archive_read_open_filename(archive_, path.c_str(), 64 * 1024) != ARCHIVE_OK) {
            const std::string why = error();
            libarchive().archive_read_free(archive_); // no destructor runs for a constructor that throws
            throw UnpackError("not a zip archive: " + why);
        }
    }
    ~Reader() { libarchive().archive_read_free(archive_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next entry; none at the end.
    archive_entry* next() {
        archive_entry* entry = nullptr;
        const int status = libarchive().archive_read_next_header(archive_, &entry);
        if (status == ARCHIVE_EOF)
            return nullptr;
        // A warning too: a name that does not convert would be written as
        // something else than what was listed.
        if (status != ARCHIVE_OK)
            throw UnpackError("the archive cannot be read: " + error());
        return entry;
    }
    ::archive* get() { return archive_; }
    std::string error() const {
        const char* text = libarchive().archive_error_string(archive_);
        return text ? text : "unknown error";
    }

private:
    ::archive* archive_;
};

// An entry as it may be written: its path below the unpack folder, in parts.
struct Checked {
    std::vector<std::string> parts; // empty for the folder itself ("./")
    bool folder = false;
    unsigned mode = 0; // permission bits only
};

// Refuses what no bundle holds and what could write outside the folder.
Checked check(archive_entry* entry) {
    const char* raw = libarchive().archive_entry_pathname(entry);
    if (!raw || !*raw)
        throw UnpackError("an entry has no readable name");
    const std::string name = raw;
    if (name.front() == '/')
        throw UnpackError("“" + name + "” is an absolute path");
    Checked checked;
    for (std::string_view part : text::split(name, '/')) {
        if (part == "..")
            throw UnpackError("“" + name + "” steps out with “..”");
        if (part != ".")
            checked.parts.emplace_back(part);
    }
    if (libarchive().archive_entry_hardlink(entry))
        throw UnpackError("“" + name + "” is a hard link");
    switch (libarchive().archive_entry_filetype(entry)) {
    case AE_IFREG:
        if (checked.parts.empty())
            throw UnpackError("“" + name + "” is a file without a name");
        break;
    case AE_IFDIR:
        checked.folder = true;
        break;
    case AE_IFLNK:
        throw UnpackError("“" + name + "” is a symbolic link");
    default:
        throw UnpackError("“" + name + "” is neither a file nor a folder");
    }
    // Never setuid, setgid or sticky.
    checked.mode = static_cast<unsigned>(libarchive().archive_entry_perm(entry)) & 0777;
    return checked;
}

// The entry's size as the listing gives it; none when it is left open.
std::optional<std::uint64_t> declaredSize(archive_entry* entry) {
    if (!libarchive().archive_entry_size_is_set(entry))
        return std::nullopt;
    return static_cast<std::uint64_t>(std::max<la_int64_t>(0, libarchive().archive_entry_size(entry)));
}

std::string tooMany(const platform::UnpackLimits& limits) {
    return "the archive holds more than " + std::to_string(limits.maxEntries) + " entries";
}

std::string tooLarge(const platform::UnpackLimits& limits) {
    return "the archive unpacks to more than " + std::to_string(limits.maxBytes) + " bytes";
}

// The first pass: the whole listing, before anything is written.
void checkListing(const std::string& archive, const platform::UnpackLimits& limits) {
    Reader reader(archive);
    std::size_t entries = 0;
    std::uint64_t bytes = 0;
    while (archive_entry* entry = reader.next()) {
        check(entry);
        if (++entries > limits.maxEntries)
            throw UnpackError(tooMany(limits));
        // A size the listing leaves open is counted as it is written.
        if (const auto size = declaredSize(entry)) {
            if (*size > limits.maxBytes - std::min(bytes, limits.maxBytes))
                throw UnpackError(tooLarge(limits));
            bytes += *size;
        }
    }
}

std::string joined(const std::string& folder, const std::vector<std::string>& parts, std::size_t count) {
    std::string path = folder;
    for (std::size_t i = 0; i < count; ++i)
        path += "/" + parts[i];
    return path;
}

// Makes the folders along `parts` (the first `count`), owner-only while they
// fill; their own modes are set at the end. Adds those it made to `made`.
void makeFolders(const std::string& folder, const std::vector<std::string>& parts, std::size_t count,
                 std::vector<std::string>& made) {
    for (std::size_t i = 1; i <= count; ++i) {
        const std::string path = joined(folder, parts, i);
        if (::mkdir(path.c_str(), S_IRWXU) == 0) {
            made.push_back(path);
            continue;
        }
        const int error = errno;
        struct stat info {};
        if (error != EEXIST || ::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            fail("create the folder", path, error);
    }
}

// Writes the entry's data, stopped at the size its listing declared (none
// when the listing leaves it open): the listing is what was checked, and a
// small entry that inflates to gigabytes must not fill the disk first.
void writeFile(Reader& reader, const std::string& path, std::optional<std::uint64_t> declared, unsigned mode,
               std::uint64_t& bytes, const platform::UnpackLimits& limits) {
    // A name listed twice is refused, not written over.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if (errno == EEXIST)
            throw UnpackError("“" + path + "” is listed twice");
        fail("create", path, errno);
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};
    char buffer[64 * 1024];
    std::uint64_t written = 0;
    for (;;) {
        const la_ssize_t got = libarchive().archive_read_data(reader.get(), buffer, sizeof buffer);
        if (got < 0)
            throw UnpackError("the archive cannot be read: " + reader.error());
        if (got == 0)
            break;
        written += static_cast<std::uint64_t>(got);
        if (declared && written > *declared)
            throw UnpackError("“" + path + "” holds more than the " + std::to_string(*declared) +
                              " bytes the archive lists for it");
        bytes += static_cast<std::uint64_t>(got);
        if (bytes > limits.maxBytes)
            throw UnpackError(tooLarge(limits));
        for (la_ssize_t done = 0; done < got;) {
            const ssize_t written = ::write(fd, buffer + done, static_cast<std::size_t>(got - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                fail("write", path, written < 0 ? errno : EIO);
            done += written;
        }
    }
    if (::fchmod(fd, mode) != 0)
        fail("set the permissions of", path, errno);
    closer.fd = -1;
    if (::close(fd) != 0)
        fail("write", path, errno);
}

// The second pass: every entry checked again as it is written, and the bytes
// counted as they come, whatever the listing said.
void extract(const std::string& archive, const std::string& folder, const platform::UnpackLimits& limits) {
    Reader reader(archive);
    std::vector<std::string> made;
    std::map<std::string, unsigned> listedModes;
    std::uint64_t bytes = 0;
    std::size_t entries = 0;
    while (archive_entry* entry = reader.next()) {
        const Checked checked = check(entry);
        if (++entries > limits.maxEntries)
            throw UnpackError(tooMany(limits));
        if (checked.folder) {
            makeFolders(folder, checked.parts, checked.parts.size(), made);
            if (!checked.parts.empty())
                listedModes[joined(folder, checked.parts, checked.parts.size())] = checked.mode;
            continue;
        }
        makeFolders(folder, checked.parts, checked.parts.size() - 1, made);
        writeFile(reader, joined(folder, checked.parts, checked.parts.size()), declaredSize(entry), checked.mode, bytes,
                  limits);
    }
    // Deepest first, so that a read-only folder is closed after its contents;
    // folders the archive implies without listing them read as usual.
    std::map<std::string, unsigned, std::greater<>> modes;
    for (const std::string& path : made)
        modes[path] = 0755;
    for (const auto& [path, mode] : listedModes)
        modes[path] = mode;
    for (const auto& [path, mode] : modes)
        if (::chmod(path.c_str(), mode) != 0)
            fail("set the permissions of", path, errno);
}

} // namespace

std::string PosixUpdateSystem::feedPath() const {
    // A Linux agent must never fetch a macOS archive.
    return "/downloads/linux-version.json";
}

void PosixUpdateSystem::unpack(const std::string& archive, const std::string& folder, const platform::UnpackLimits& limits) {
    checkListing(archive, limits);
    if (::mkdir(folder.c_str(), S_IRWXU) != 0)
        fail("create the folder", folder, errno);
    extract(archive, folder, limits);
    // The unpack folder itself is not part of the bundle; it reads as usual.
    if (::chmod(folder.c_str(), 0755) != 0)
        fail("set the permissions of", folder, errno);
}

platform::ToolCommand PosixUpdateSystem::signatureCheck(const std::string& runningBundle, const std::string& newBundle) const {
    // The signature checker ships in the running bundle: nothing from the
    // archive runs before the archive has been verified.
    return {
        bundle::inside(runningBundle, bundle::verifier), {"--verify", "--trusted", runningBundle, newBundle}, verifierDeadline};
}

platform::ToolCommand PosixUpdateSystem::runCheck(const std::string& newBundle) const {
    // Started bare: nothing of this agent's environment (display, home, relay)
    // reaches the new build, and a missing library shows here, not after the
    // swap. env becomes the new build, so the deadline ends it.
    return {"/usr/bin/env",
            {"-i", "PATH=/usr/local/bin:/usr/bin:/bin", bundle::inside(newBundle, bundle::agent), "--version"},
            runCheckDeadline};
}

bool PosixUpdateSystem::runCheckPrintsVersion() const {
    return true;
}

std::optional<platform::ToolCommand> PosixUpdateSystem::quarantineRemoval(const std::string&) const {
    // Linux marks no downloads.
    return std::nullopt;
}

platform::ToolCommand PosixUpdateSystem::reopenCommand(const std::string& bundlePath) const {
    // As the desktop entry starts it: the agent itself, in a session of its own.
    return {"/usr/bin/setsid", {"-f", bundle::inside(bundlePath, bundle::agent)}};
}

platform::ToolCommand PosixUpdateSystem::flushCommand(const std::string& folder) const {
    // The file system holding the folder, which holds the renamed bundles.
    return {"/bin/sync", {"-f", folder}};
}

void PosixUpdateSystem::launchScript(const std::string& script) {
    processes_.launchDetached("/bin/sh", {"-c", script});
}

} // namespace tavrelin::posix
