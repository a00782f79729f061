#pragma once

// CalDAV servers from Debian on loopback, each in a folder of the test's,
// with one account: Radicale (its own htpasswd check) and Xandikos (which has
// no accounts of its own, so it runs as the application inside a small
// aiohttp front that asks for the password, as its documentation has it run
// behind a web server). Both can be killed and started again on the same port
// and data. And an HTTP layer that records what passes through it.

#include "Support/DevRelayProcess.h"
#include "Support/TempFolder.h"

#include <regex>

namespace tavrelin::testing {

enum class CalDavServerKind { radicale, xandikos };

inline std::string serverName(CalDavServerKind kind) {
    return kind == CalDavServerKind::radicale ? "Radicale" : "Xandikos";
}

// Xandikos's application behind a Basic-password check that reads the
// password file at every request, so a test can change the password.
inline constexpr const char* xandikosFront = R"(import base64, socket, sys
from aiohttp import web
from xandikos.web import XandikosApp, XandikosBackend

root, port, user, password_file = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
principal = "/" + user + "/"
backend = XandikosBackend(root)
backend._mark_as_principal(principal)
backend.create_principal(principal, create_defaults=False)
dav = XandikosApp(backend, current_user_principal=principal)

@web.middleware
async def password_required(request, handler):
    with open(password_file) as f:
        expected = "Basic " + base64.b64encode((user + ":" + f.read()).encode()).decode()
    if request.headers.get("Authorization") != expected:
        return web.Response(status=401, text="Password required", headers={"WWW-Authenticate": 'Basic realm="test"'})
    return await handler(request)

async def to_root(request):
    raise web.HTTPFound("/")

async def serve(request):
    return await dav.aiohttp_handler(request, "/")

app = web.Application(middlewares=[password_required])
app.router.add_route("*", "/.well-known/caldav", to_root)
app.router.add_route("*", "/{path_info:.*}", serve)
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
print("listening on port", listener.getsockname()[1], flush=True)
web.run_app(app, sock=listener, print=None, access_log=None)
)";

class CalDavServer {
public:
    CalDavServer(CalDavServerKind kind, std::filesystem::path folder, std::string user, std::string password,
                 platform::Http& http)
        : kind_(kind), folder_(std::move(folder)), user_(std::move(user)), password_(std::move(password)),
          session_(http.makeSession({})) {
        const char* program = kind_ == CalDavServerKind::radicale ? "/usr/bin/radicale" : "/usr/bin/xandikos";
        if (!installed(program))
            throw std::runtime_error(std::string(program) + " is missing (scripts/setup installs it)");
        std::filesystem::create_directories(folder_);
        writeFile(folder_ / "front.py", xandikosFront);
        setPassword(password_);
        start();
    }

    CalDavServerKind kind() const { return kind_; }
    // http://127.0.0.1:PORT/
    std::string address() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Where the account's calendars are.
    std::string home() const { return kind_ == CalDavServerKind::radicale ? "/" + user_ + "/" : "/" + user_ + "/calendars/"; }
    // Xandikos makes every calendar take every kind of component.
    bool keepsComponentSets() const { return kind_ == CalDavServerKind::radicale; }

    // Starts it, on the port it had before when it ran before.
    void start() {
        std::vector<std::string> command;
        if (kind_ == CalDavServerKind::radicale)
            command = {"/usr/bin/radicale",
                       "--config",
                       "",
                       "--logging-level",
                       "info",
                       "--server-hosts",
                       "127.0.0.1:" + std::to_string(port_),
                       "--auth-type",
                       "htpasswd",
                       "--auth-htpasswd-filename",
                       (folder_ / "users").string(),
                       "--auth-htpasswd-encryption",
                       "plain",
                       "--storage-filesystem-folder",
                       (folder_ / "data").string()};
        else
            command = {"/usr/bin/python3",
                       (folder_ / "front.py").string(),
                       (folder_ / "data").string(),
                       std::to_string(port_),
                       user_,
                       (folder_ / "password").string()};
        process_.reset();
        process_.emplace(command, withSanitizers({{"HOME", folder_.string()}}));
        const std::string before = kind_ == CalDavServerKind::radicale ? "Listening on '[127.0.0.1]:" : "listening on port ";
        if (!process_->await(before))
            throw std::runtime_error(serverName(kind_) + " did not start:\n" + process_->output());
        port_ = std::stoi(process_->await(kind_ == CalDavServerKind::radicale ? "'" : "\n").value_or("0"));
        if (kind_ == CalDavServerKind::radicale && !process_->await("Radicale server ready"))
            throw std::runtime_error("Radicale did not get ready:\n" + process_->output());
        // Answering means serving.
        if (!eventually([&] {
                try {
                    return session_->perform({"GET", address(), {}, {}}).status > 0;
                } catch (const platform::HttpTransportError&) {
                    return false;
                }
            }))
            throw std::runtime_error(serverName(kind_) + " does not answer:\n" + process_->output());
    }

    // The server dies, as a crash or a power cut takes it.
    void kill() {
        if (process_)
            process_->kill(SIGKILL);
    }

    void setPassword(const std::string& password) {
        password_ = password;
        writeFile(folder_ / "users", user_ + ":" + password + "\n");
        writeFile(folder_ / "password", password);
    }

    std::string output() const { return process_ ? process_->output() : std::string(); }

    // What another client of the account does, with the right password.
    platform::HttpResponse request(const std::string& method, const std::string& path,
                                   std::vector<std::pair<std::string, std::string>> headers = {}, std::string body = {}) {
        headers.emplace_back("Authorization", "Basic " + base64(user_ + ":" + password_));
        return session_->perform(
            {method, "http://127.0.0.1:" + std::to_string(port_) + path, std::move(headers), std::move(body)});
    }

    // A calendar in the home; answers its path. Components none: the server's
    // default set.
    std::string makeList(const std::string& name, const std::optional<std::string>& title,
                         const std::vector<std::string>& components = {"VTODO"}) {
        std::string properties;
        if (title)
            properties += "<d:displayname>" + *title + "</d:displayname>";
        if (!components.empty()) {
            properties += "<c:supported-calendar-component-set>";
            for (const auto& component : components)
                properties += "<c:comp name=\"" + component + "\"/>";
            properties += "</c:supported-calendar-component-set>";
        }
        const std::string path = home() + name + "/";
        const auto response =
            request("MKCALENDAR", path, {{"Content-Type", "application/xml"}},
                    "<?xml version=\"1.0\"?><c:mkcalendar xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\">"
                    "<d:set><d:prop>" +
                        properties + "</d:prop></d:set></c:mkcalendar>");
        if (response.status != 201)
            throw std::runtime_error("MKCALENDAR " + path + " answered " + std::to_string(response.status) + ": " +
                                     response.body);
        return path;
    }

    // A collection that is no calendar (an address book) in the home.
    void makeAddressBook(const std::string& name) {
        const auto response = request(
            "MKCOL", home() + name + "/", {{"Content-Type", "application/xml"}},
            "<?xml version=\"1.0\"?><d:mkcol xmlns:d=\"DAV:\" xmlns:a=\"urn:ietf:params:xml:ns:carddav\"><d:set><d:prop>"
            "<d:resourcetype><d:collection/><a:addressbook/></d:resourcetype><d:displayname>Contacts</d:displayname>"
            "</d:prop></d:set></d:mkcol>");
        if (response.status != 201)
            throw std::runtime_error("MKCOL answered " + std::to_string(response.status) + ": " + response.body);
    }

    void remove(const std::string& path) {
        const auto response = request("DELETE", path);
        if (response.status != 200 && response.status != 204)
            throw std::runtime_error("DELETE " + path + " answered " + std::to_string(response.status));
    }

    // The .ics resources of a list, by path, with their text.
    std::map<std::string, std::string> items(const std::string& listPath) {
        const auto listing =
            request("PROPFIND", listPath, {{"Depth", "1"}, {"Content-Type", "application/xml"}},
                    "<?xml version=\"1.0\"?><d:propfind xmlns:d=\"DAV:\"><d:prop><d:getetag/></d:prop></d:propfind>");
        if (listing.status != 207)
            throw std::runtime_error("PROPFIND " + listPath + " answered " + std::to_string(listing.status));
        std::map<std::string, std::string> found;
        const std::regex href("<[A-Za-z0-9]*:?href>([^<]*\\.ics)</[A-Za-z0-9]*:?href>");
        for (auto match = std::sregex_iterator(listing.body.begin(), listing.body.end(), href); match != std::sregex_iterator();
             ++match)
            found[(*match)[1]] = request("GET", (*match)[1]).body;
        return found;
    }

    static std::string base64(const std::string& text) {
        static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string encoded;
        for (std::size_t i = 0; i < text.size(); i += 3) {
            const auto byte = [&](std::size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u; };
            const unsigned bits = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
            for (int j = 0; j < 4; ++j)
                encoded += i * 8 + j * 6 < text.size() * 8 ? alphabet[(bits >> (18 - 6 * j)) & 63] : '=';
        }
        return encoded;
    }

private:
    CalDavServerKind kind_;
    std::filesystem::path folder_;
    std::string user_;
    std::string password_;
    int port_ = 0;
    std::unique_ptr<platform::HttpSession> session_;
    std::optional<Child> process_;
};

// The HTTP layer, recording each session it makes and each request sent
// through one (method, URL, headers), so a test sees what went over the wire.
class RecordingHttp final : public platform::Http {
public:
    struct Sent {
        int session;
        std::string method;
        std::string url;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string header(const std::string& name) const {
            for (const auto& [key, value] : headers)
                if (key == name)
                    return value;
            return {};
        }
    };

    explicit RecordingHttp(platform::Http& inner) : inner_(inner) {}

    std::unique_ptr<platform::HttpSession> makeSession(const platform::HttpSessionConfig& config) override {
        std::lock_guard lock(mutex_);
        return std::make_unique<Session>(*this, ++sessions_, inner_.makeSession(config));
    }

    std::vector<Sent> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    int sessions() const {
        std::lock_guard lock(mutex_);
        return sessions_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }
    // How many requests went with this method (and, given one, to URLs holding `part`).
    std::size_t count(const std::string& method, const std::string& part = {}) const {
        std::size_t n = 0;
        for (const Sent& request : sent())
            n += request.method == method && request.url.find(part) != std::string::npos;
        return n;
    }

private:
    class Session final : public platform::HttpSession {
    public:
        Session(RecordingHttp& owner, int number, std::unique_ptr<platform::HttpSession> inner)
            : owner_(owner), number_(number), inner_(std::move(inner)) {}
        platform::HttpResponse perform(const platform::HttpRequest& request) override {
            {
                std::lock_guard lock(owner_.mutex_);
                owner_.sent_.push_back({number_, request.method, request.url, request.headers});
            }
            return inner_->perform(request);
        }
        platform::HttpDownload download(const platform::HttpRequest& request, const std::string& path) override {
            return inner_->download(request, path);
        }

    private:
        RecordingHttp& owner_;
        int number_;
        std::unique_ptr<platform::HttpSession> inner_;
    };

    platform::Http& inner_;
    mutable std::mutex mutex_;
    int sessions_ = 0;
    std::vector<Sent> sent_;
};

} // namespace tavrelin::testing
