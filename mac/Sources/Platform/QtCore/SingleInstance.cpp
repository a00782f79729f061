#include "Platform/QtCore/SingleInstance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tavrelin::qt {
namespace {

// A client that connects and then says nothing is dropped after this long.
constexpr int idleClientMs = 5000;

std::string systemError(const std::string& what, int error = errno) {
    return what + ": " + std::strerror(error);
}

bool fitsSocketAddress(const std::string& path) {
    return path.size() < sizeof(sockaddr_un::sun_path);
}

InstancePaths inFolder(const std::string& folder) {
    return {folder, folder + "/tavrelin-agent.lock", folder + "/tavrelin-agent.sock"};
}

// The user's private folder under `temporary`: made owner-only when missing,
// refused when something else stands there. A folder of ours that lost its
// mode is put right, since nobody else can have made it.
std::string privateFolder(const std::string& temporary, uid_t user) {
    const std::string folder = temporary + "/tavrelin-" + std::to_string(user);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw InstanceError(systemError("cannot make the folder " + folder));
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        throw InstanceError(systemError("cannot read the folder " + folder));
    if (!S_ISDIR(info.st_mode))
        throw InstanceError(folder + " is not a folder (a link or a file stands there); remove it");
    if (info.st_uid != user)
        throw InstanceError(folder + " belongs to another user; remove it");
    if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        throw InstanceError(systemError("cannot make " + folder + " private"));
    return folder;
}

// Waits up to the deadline for the descriptor to be ready; false on time-out
// or error.
bool await(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool isOk(const std::optional<std::string>& answer) {
    return answer && *answer == "ok";
}

// A socket that raises no SIGPIPE when its peer has gone: macOS marks the
// socket, Linux each send.
#if defined(__APPLE__)
constexpr int quietly = 0;
void keepQuiet(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
}
#else
constexpr int quietly = MSG_NOSIGNAL;
void keepQuiet(int) {}
#endif

// Non-blocking and close-on-exec from the start where the system can say so
// (Linux), else right after (macOS, before any child can be spawned from this
// thread).
int nonBlocking(int fd) {
#if defined(__APPLE__)
    if (fd >= 0 && (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0)) {
        ::close(fd);
        return -1;
    }
#endif
    if (fd >= 0)
        keepQuiet(fd);
    return fd;
}

int localSocket() {
#if defined(__APPLE__)
    return nonBlocking(::socket(AF_UNIX, SOCK_STREAM, 0));
#else
    return nonBlocking(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
#endif
}

int acceptClient(int listener) {
#if defined(__APPLE__)
    return nonBlocking(::accept(listener, nullptr, nullptr));
#else
    return nonBlocking(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
#endif
}

void sendAll(int fd, const std::string& text) {
    // The answers are short and the socket is fresh, so its buffer takes them
    // whole; a client that went away is simply not answered.
    [[maybe_unused]] auto sent = ::send(fd, text.data(), text.size(), quietly);
}

} // namespace

bool InstancePaths::usableRuntimeFolder(const std::string& path, uid_t user) {
    struct stat info {};
    return !path.empty() && path.front() == '/' && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == user && (info.st_mode & 077) == 0;
}

InstancePaths InstancePaths::resolve(const std::optional<std::string>& runtimeFolder, uid_t user,
                                     const std::string& temporary) {
    if (runtimeFolder && usableRuntimeFolder(*runtimeFolder, user)) {
        InstancePaths paths = inFolder(*runtimeFolder);
        if (fitsSocketAddress(paths.socket))
            return paths;
    }
    InstancePaths paths = inFolder(privateFolder(temporary, user));
    if (!fitsSocketAddress(paths.socket))
        throw InstanceError("the socket path " + paths.socket + " is too long for a local socket");
    return paths;
}

InstancePaths InstancePaths::forThisUser() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    return resolve(runtime ? std::optional<std::string>(runtime) : std::nullopt, ::getuid(),
                   temporary && temporary[0] == '/' ? temporary : "/tmp");
}

// ---- the lock

struct SingleInstance::Client {
    explicit Client(int descriptor) : fd(descriptor), notifier(descriptor, QSocketNotifier::Read) {}
    ~Client() { ::close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd;
    QSocketNotifier notifier;
    QTimer idle;
    std::string buffer;
};

SingleInstance::SingleInstance(InstancePaths paths) : paths_(std::move(paths)) {}

SingleInstance::~SingleInstance() {
    stopListening();
    clients_.clear();
    if (lock_ >= 0)
        ::close(lock_); // lets go of the lock
}

bool SingleInstance::tryLock() {
    if (lock_ >= 0)
        return true;
    const int fd = ::open(paths_.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw InstanceError(systemError("cannot open the lock file " + paths_.lock));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        throw InstanceError("the lock file " + paths_.lock + " is not a file of this user's; remove it");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK || error == EINTR)
            return false;
        throw InstanceError(systemError("cannot lock " + paths_.lock, error));
    }
    lock_ = fd;
    // For whoever looks: which process is the agent.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] auto written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    return true;
}

SingleInstance::Claim SingleInstance::claim(std::chrono::milliseconds patience, const std::function<bool()>& ask) {
    const auto until = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (tryLock())
            return Claim::holder;
        if (ask())
            return Claim::answered;
        if (std::chrono::steady_clock::now() >= until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string holder;
    if (int fd = ::open(paths_.lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); fd >= 0) {
        char text[32] = {};
        if (::read(fd, text, sizeof text - 1) > 0)
            holder = std::to_string(std::atol(text));
        ::close(fd);
    }
    throw InstanceError("another agent" + (holder.empty() || holder == "0" ? "" : " (process " + holder + ")") + " holds " +
                        paths_.lock + " but has not answered on " + paths_.socket + " for " +
                        std::to_string(patience.count() / 1000) + " s; not starting beside it");
}

// ---- client side

std::optional<std::string> SingleInstance::exchange(const std::string& request, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const int fd = localSocket();
    if (fd < 0)
        return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fitsSocketAddress(paths_.socket))
        return std::nullopt;
    std::memcpy(address.sun_path, paths_.socket.c_str(), paths_.socket.size() + 1);
    // A local socket connects at once or not at all: refused, missing, or a
    // full backlog (EAGAIN), which is an agent too busy to answer now.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    for (std::size_t sent = 0; sent < request.size();) {
        if (!await(fd, POLLOUT, deadline))
            return std::nullopt;
        const ssize_t count = ::send(fd, request.data() + sent, request.size() - sent, quietly);
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return std::nullopt;
        sent += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    std::string line;
    while (line.find('\n') == std::string::npos && line.size() < maxLineBytes) {
        if (!await(fd, POLLIN, deadline))
            return std::nullopt;
        char buffer[4096];
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count == 0)
            break; // closed without a whole line
        if (count < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return std::nullopt;
        }
        line.append(buffer, static_cast<std::size_t>(count));
    }
    const std::size_t end = line.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    return line.substr(0, end);
}

bool SingleInstance::ping(int timeoutMs) const {
    return !isListening() && isOk(exchange("ping\n", timeoutMs));
}

bool SingleInstance::requestReopen(int timeoutMs) const {
    return !isListening() && isOk(exchange("reopen\n", timeoutMs));
}

bool SingleInstance::handOver(const std::string& link, int timeoutMs) const {
    // One line per request: a link never holds a line break, and one that
    // does is no pairing link, so the breaks are escaped rather than sent.
    std::string text;
    for (char c : link)
        text += c == '\r' ? "%0D" : c == '\n' ? "%0A" : std::string(1, c);
    return !isListening() && isOk(exchange("open " + text + "\n", timeoutMs));
}

bool SingleInstance::requestQuit(int timeoutMs) const {
    return !isListening() && isOk(exchange("quit\n", timeoutMs));
}

std::optional<std::string> SingleInstance::requestStatus(int timeoutMs) const {
    if (isListening())
        return std::nullopt;
    std::optional<std::string> answer = exchange("status\n", timeoutMs);
    if (!answer || !(*answer == "ok" || answer->rfind("ok ", 0) == 0))
        return std::nullopt;
    return answer->size() > 3 ? answer->substr(3) : std::string();
}

bool SingleInstance::announcePlaceChange(int timeoutMs) const {
    return !isListening() && isOk(exchange("places\n", timeoutMs));
}

// ---- server side

void SingleInstance::listen() {
    if (isListening())
        return;
    if (!holdsLock())
        throw InstanceError("cannot listen on " + paths_.socket + " without holding " + paths_.lock);
    if (!fitsSocketAddress(paths_.socket))
        throw InstanceError("the socket path " + paths_.socket + " is too long for a local socket");
    // Whatever stands at the path is left over: its maker no longer holds the lock.
    if (::unlink(paths_.socket.c_str()) != 0 && errno != ENOENT)
        throw InstanceError(systemError("cannot remove the old socket " + paths_.socket));
    const int fd = localSocket();
    if (fd < 0)
        throw InstanceError(systemError("cannot make a local socket"));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, paths_.socket.c_str(), paths_.socket.size() + 1);
    struct stat info {};
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::lstat(paths_.socket.c_str(), &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw InstanceError(systemError("cannot listen on " + paths_.socket, error));
    }
    listener_ = fd;
    socketDevice_ = info.st_dev;
    socketInode_ = info.st_ino;
    listening_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(listening_.get(), &QSocketNotifier::activated, &context_, [this] { accept(); });
}

void SingleInstance::stopListening() {
    if (!isListening())
        return;
    listening_.reset();
    ::close(std::exchange(listener_, -1));
    // Only our own: a file someone else put there since stays.
    struct stat info {};
    if (::lstat(paths_.socket.c_str(), &info) == 0 && info.st_dev == socketDevice_ && info.st_ino == socketInode_)
        ::unlink(paths_.socket.c_str());
}

void SingleInstance::accept() {
    while (isListening()) {
        const int fd = acceptClient(listener_);
        if (fd < 0)
            return; // EAGAIN: none left; anything else: the client gave up
        auto client = std::make_unique<Client>(fd);
        Client* raw = client.get();
        clients_[raw] = std::move(client);
        raw->idle.setSingleShot(true);
        QObject::connect(&raw->idle, &QTimer::timeout, &context_, [this, raw] { drop(*raw); });
        raw->idle.start(idleClientMs);
        QObject::connect(&raw->notifier, &QSocketNotifier::activated, &context_, [this, raw] { read(*raw); });
    }
}

void SingleInstance::read(Client& client) {
    char buffer[4096];
    bool ended = false; // closed by the client, or failed
    for (;;) {
        const ssize_t count = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (count > 0)
            client.buffer.append(buffer, static_cast<std::size_t>(count));
        else if (count < 0 && errno == EINTR)
            continue;
        else {
            ended = !(count < 0 && errno == EAGAIN);
            break;
        }
    }
    const std::size_t end = client.buffer.find('\n');
    if (end == std::string::npos && !ended && client.buffer.size() <= maxLineBytes)
        return; // the rest of the line is on its way
    // A client may close its side right after its request: it still gets the answer.
    if (end < maxLineBytes)
        answer(client, client.buffer.substr(0, end));
    drop(client);
}

void SingleInstance::answer(Client& client, const std::string& line) {
    if (line == "ping") {
        sendAll(client.fd, "ok\n");
    } else if (line == "reopen") {
        sendAll(client.fd, "ok\n");
        QTimer::singleShot(0, &context_, [this] {
            if (onReopen)
                onReopen();
        });
    } else if (line.rfind("open ", 0) == 0) {
        sendAll(client.fd, "ok\n");
        // Handled from the event loop, not inside the socket's notification.
        QTimer::singleShot(0, &context_, [this, link = line.substr(5)] {
            if (onLink)
                onLink(link);
        });
    } else if (line == "quit") {
        // From here on a new start finds nobody answering and waits for the
        // lock, which this process keeps until it is gone.
        stopListening();
        sendAll(client.fd, "ok\n");
        QTimer::singleShot(0, &context_, [this] {
            if (onQuit)
                onQuit();
        });
    } else if (line == "status") {
        // One line: a failure message could hold a line break.
        std::string text = status ? status() : std::string();
        for (char& c : text)
            if (c == '\r' || c == '\n')
                c = ' ';
        sendAll(client.fd, text.empty() ? "ok\n" : "ok " + text + "\n");
    } else if (line == "places") {
        sendAll(client.fd, "ok\n");
        QTimer::singleShot(0, &context_, [this] {
            if (onPlaceChange)
                onPlaceChange();
        });
    } else {
        sendAll(client.fd, "?\n");
    }
}

void SingleInstance::drop(Client& client) {
    client.notifier.setEnabled(false);
    client.idle.stop();
    // Not from inside its own notification: removed on the next turn.
    Client* raw = &client;
    QTimer::singleShot(0, &context_, [this, raw] { clients_.erase(raw); });
}

} // namespace tavrelin::qt
