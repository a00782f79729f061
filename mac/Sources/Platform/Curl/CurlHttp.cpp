#include "Platform/Curl/CurlHttp.h"
#include "Base/Text.h"
#include "Platform/Files.h"
#include "Platform/Posix/Sha256.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace tavrelin::curl {
namespace {

using platform::HttpDownload;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpSessionConfig;
using platform::HttpTransportError;
using Clock = std::chrono::steady_clock;

bool sameName(const std::string& a, const char* b) {
    return text::equalsIgnoringAsciiCase(a, b);
}

struct Origin {
    std::string scheme, host, port;
    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const std::string& url) {
    CURLU* handle = curl_url();
    if (!handle)
        return std::nullopt;
    std::optional<Origin> origin;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
            origin = Origin{text::lowercasedAscii(scheme), text::lowercasedAscii(host), port ? port : ""};
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(handle);
    return origin;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// One easy handle inside its own multi handle: the multi keeps the connection
// between exchanges and lets the loop below wake often enough to enforce
// sub-second time-outs.
struct Handle {
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    Handle() {
        if (!multi || !easy)
            throw HttpTransportError("could not create an HTTP handle");
    }
    ~Handle() {
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// Where a download's body goes: the file and the digest of what it holds.
struct FileSink {
    int fd = -1;
    posix::Sha256 hash;
    std::uint64_t written = 0;
    int error = 0; // errno of a failed write
};

// State of one hop, touched only by the thread running it.
struct Transfer {
    std::size_t maxBodyBytes = 0;
    std::string body;
    bool tooLarge = false;
    Clock::time_point lastActivity = Clock::now();
    curl_off_t downloaded = 0, uploaded = 0;
    CURL* easy = nullptr;
    FileSink* file = nullptr; // a download's 2xx body goes there, not to `body`

    // 0, or the errno of the write that failed.
    static int writeAll(int fd, const char* data, size_t size) {
        while (size > 0) {
            ssize_t written = ::write(fd, data, size);
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                return errno;
            if (written == 0)
                return EIO;
            data += written;
            size -= static_cast<size_t>(written);
        }
        return 0;
    }

    static size_t write(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        const size_t n = size * count;
        self->lastActivity = Clock::now();
        if (FileSink* file = self->file) {
            long status = 0;
            curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
            // A redirect's or a failure's body is not the download.
            if (status < 200 || status > 299)
                return n;
            if (file->written + n > self->maxBodyBytes) {
                self->tooLarge = true;
                return 0; // aborts the transfer
            }
            if ((file->error = writeAll(file->fd, data, n)) != 0)
                return 0;
            file->hash.update(std::string_view(data, n));
            file->written += n;
            return n;
        }
        if (self->body.size() + n > self->maxBodyBytes) {
            self->tooLarge = true;
            self->body.clear();
            self->body.shrink_to_fit();
            return 0; // aborts the transfer
        }
        self->body.append(data, n);
        return n;
    }
    static size_t header(char*, size_t size, size_t count, void* user) {
        static_cast<Transfer*>(user)->lastActivity = Clock::now();
        return size * count;
    }
    // Bytes on the wire count as activity even before they decode to body.
    static int progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* self = static_cast<Transfer*>(user);
        if (dlnow != self->downloaded || ulnow != self->uploaded) {
            self->downloaded = dlnow;
            self->uploaded = ulnow;
            self->lastActivity = Clock::now();
        }
        return 0;
    }
};

struct Hop {
    long status = 0;
    std::string body;
    bool tooLarge = false;
    std::string redirectTarget;
};

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next)
            throw HttpTransportError("out of memory building the request");
        list = next;
    }
};

class CurlSession final : public platform::HttpSession {
public:
    explicit CurlSession(const HttpSessionConfig& config) : config_(config) {}

    HttpResponse perform(const HttpRequest& request) override {
        Hop hop = follow(request, nullptr);
        if (hop.tooLarge)
            throw platform::HttpBodyTooLarge(hop.status, config_.maxBodyBytes);
        return HttpResponse{hop.status, std::move(hop.body)};
    }

    HttpDownload download(const HttpRequest& request, const std::string& path) override {
        FileSink sink;
        sink.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (sink.fd < 0)
            throw platform::FileError("Could not create “" + path + "”: " + std::strerror(errno));
        // Whatever ends the download early takes the file with it.
        struct Cleanup {
            FileSink& sink;
            const std::string& path;
            bool keep = false;
            ~Cleanup() {
                if (sink.fd >= 0)
                    ::close(sink.fd);
                if (!keep)
                    ::unlink(path.c_str());
            }
        } cleanup{sink, path};

        Hop hop = follow(request, &sink);
        if (sink.error)
            throw platform::FileError("Could not write “" + path + "”: " + std::strerror(sink.error));
        if (hop.tooLarge)
            throw platform::HttpBodyTooLarge(hop.status, config_.maxBodyBytes);
        if (hop.status < 200 || hop.status > 299)
            return HttpDownload{hop.status, 0, {}};
        const int fd = sink.fd;
        sink.fd = -1;
        if (::close(fd) != 0) // a delayed write error shows here
            throw platform::FileError("Could not write “" + path + "”: " + std::strerror(errno));
        cleanup.keep = true;
        return HttpDownload{hop.status, sink.written, sink.hash.hexDigest()};
    }

private:
    // One exchange with every redirect the rules allow.
    Hop follow(const HttpRequest& request, FileSink* file) {
        // No whole-exchange limit: only silence ends the exchange.
        const auto deadline = unlimited() ? Clock::time_point::max()
                                          : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(config_.resourceTimeout));
        Lease lease(*this);
        HttpRequest current = request;
        for (int redirects = 0;; ++redirects) {
            Hop hop = exchange(*lease.handle, current, deadline, file);
            if (!hop.redirectTarget.empty()) {
                if (auto next = redirectedRequest(current, hop.status, hop.redirectTarget)) {
                    if (!config_.allowRedirect || !config_.allowRedirect(current.url, next->url))
                        throw platform::HttpRedirectRefused(next->url);
                    if (redirects == maxRedirects)
                        throw HttpTransportError("too many redirects");
                    current = std::move(*next);
                    continue;
                }
            }
            return hop;
        }
    }

    // Borrows an idle handle (most recently used first, so a lone caller keeps
    // one connection) and gives it back afterwards.
    struct Lease {
        CurlSession& owner;
        std::unique_ptr<Handle> handle;
        explicit Lease(CurlSession& o) : owner(o) {
            {
                std::lock_guard lock(owner.mutex_);
                if (!owner.idle_.empty()) {
                    handle = std::move(owner.idle_.back());
                    owner.idle_.pop_back();
                }
            }
            if (!handle)
                handle = std::make_unique<Handle>();
        }
        ~Lease() {
            std::lock_guard lock(owner.mutex_);
            owner.idle_.push_back(std::move(handle));
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
    };

    Hop exchange(Handle& handle, const HttpRequest& request, Clock::time_point deadline, FileSink* file) {
        using std::chrono::milliseconds;
        CURL* easy = handle.easy;
        const auto requestTimeout =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.requestTimeout));
        const auto start = Clock::now();
        if (start >= deadline)
            throw HttpTransportError(resourceTimeoutMessage());

        HeaderList headers;
        bool hasContentType = false;
        for (const auto& [name, value] : request.headers) {
            // A line break would smuggle in headers of its own. The value is
            // not quoted: it may be a secret.
            if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
                throw HttpTransportError("a request header is not well-formed");
            hasContentType = hasContentType || sameName(name, "Content-Type");
            headers.add(value.empty() ? name + ";" : name + ": " + value);
        }
        headers.add("Expect:"); // no 100-continue round trip for large bodies
        const bool sendsBody = request.method != "GET" && request.method != "HEAD";
        if (sendsBody && !hasContentType)
            headers.add("Content-Type:"); // only what the caller asked for

        Transfer transfer;
        transfer.maxBodyBytes = config_.maxBodyBytes;
        transfer.easy = easy;
        transfer.file = file;
        char errorText[CURL_ERROR_SIZE] = {};

        curl_easy_reset(easy); // keeps the connection cache
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        const auto remaining = std::chrono::duration_cast<milliseconds>(deadline - start).count();
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                         unlimited() ? 0L : static_cast<long>(std::max<long long>(1, remaining + 50)));
        curl_easy_setopt(
            easy, CURLOPT_CONNECTTIMEOUT_MS,
            static_cast<long>(std::max<long long>(1, std::chrono::duration_cast<milliseconds>(requestTimeout).count())));
        if (config_.lowSpeedBytesPerSecond > 0) {
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(config_.lowSpeedBytesPerSecond));
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1.0, std::ceil(config_.lowSpeedTime))));
        }
        if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
            if (request.method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        CURLcode result = run(handle, transfer, requestTimeout, deadline);

        Hop hop;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &hop.status);
        if (result == CURLE_WRITE_ERROR && transfer.tooLarge) {
            hop.tooLarge = true;
            return hop;
        }
        if (result == CURLE_WRITE_ERROR && file && file->error)
            return hop; // the caller names the file
        if (result != CURLE_OK) {
            if (result == CURLE_OPERATION_TIMEDOUT && Clock::now() >= deadline)
                throw HttpTransportError(resourceTimeoutMessage());
            throw HttpTransportError(errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(result)));
        }
        char* target = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &target) == CURLE_OK && target)
            hop.redirectTarget = target;
        hop.body = std::move(transfer.body);
        return hop;
    }

    // Drives the transfer, checking both time-outs between short waits.
    CURLcode run(Handle& handle, Transfer& transfer, Clock::duration requestTimeout, Clock::time_point deadline) {
        using std::chrono::milliseconds;
        struct Attached {
            Handle& h;
            explicit Attached(Handle& handle) : h(handle) { curl_multi_add_handle(h.multi, h.easy); }
            ~Attached() { curl_multi_remove_handle(h.multi, h.easy); }
        } attached(handle);
        transfer.lastActivity = Clock::now();
        for (;;) {
            int running = 0;
            CURLMcode code = curl_multi_perform(handle.multi, &running);
            if (code != CURLM_OK)
                throw HttpTransportError(curl_multi_strerror(code));
            if (running == 0)
                break;
            const auto now = Clock::now();
            if (now >= deadline)
                throw HttpTransportError(resourceTimeoutMessage());
            const auto idleUntil = transfer.lastActivity + requestTimeout;
            if (now >= idleUntil)
                throw HttpTransportError("The request timed out (no data for " + seconds(config_.requestTimeout) + " s).");
            // Until the sooner time-out: curl wakes earlier by itself for data
            // and for timers of its own, so a slow answer costs no wake-ups.
            const auto wait = std::chrono::duration_cast<milliseconds>(std::min(deadline, idleUntil) - now).count() + 1;
            curl_multi_poll(handle.multi, nullptr, 0, static_cast<int>(std::clamp<long long>(wait, 1, 60'000)), nullptr);
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(handle.multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == handle.easy)
                return message->data.result;
        }
        return CURLE_OK;
    }

    bool unlimited() const { return !(config_.resourceTimeout < HttpSessionConfig::noLimit); }

    std::string resourceTimeoutMessage() const {
        return "The request timed out (the exchange took longer than " + seconds(config_.resourceTimeout) + " s).";
    }

    HttpSessionConfig config_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Handle>> idle_;
};

} // namespace

CurlHttp::CurlHttp() {
    static std::once_flag once;
    std::call_once(once, [] {
        // curl brings libssh2, whose start-up sets up OpenSSL's ciphers (1.7 MB
        // resident) for SSH we never speak. Started first without them, it
        // keeps them off: later starts only count.
        using Init = int (*)(int);
        constexpr int noCrypto = 1; // LIBSSH2_INIT_NO_CRYPTO
        if (const auto init = reinterpret_cast<Init>(dlsym(RTLD_DEFAULT, "libssh2_init")))
            init(noCrypto);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

std::unique_ptr<platform::HttpSession> CurlHttp::makeSession(const platform::HttpSessionConfig& config) {
    return std::make_unique<CurlSession>(config);
}

std::optional<HttpRequest> redirectedRequest(const HttpRequest& previous, long status, const std::string& target) {
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return std::nullopt;
    auto from = originOf(previous.url);
    auto to = originOf(target);
    if (!to)
        throw HttpTransportError("the redirect target is not a usable URL");
    if (to->scheme != "http" && to->scheme != "https")
        throw HttpTransportError("refused a redirect to the unsupported scheme " + to->scheme);

    HttpRequest next = previous;
    next.url = target;
    const bool toGet =
        (status == 303 && previous.method != "HEAD") || ((status == 301 || status == 302) && previous.method == "POST");
    auto drop = [&next](const char* name) {
        std::erase_if(next.headers, [name](const auto& header) { return sameName(header.first, name); });
    };
    if (toGet) {
        next.method = "GET";
        next.body.clear();
        drop("Content-Type");
        drop("Content-Length");
    }
    if (!from || !(*from == *to))
        drop("Authorization");
    return next;
}

} // namespace tavrelin::curl
