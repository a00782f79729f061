#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Posix/Random.h"

#include "Base/Text.h"
#include "Platform/CalDav/DavXml.h"
#include "Platform/Ical/Todo.h"
#include "Platform/Posix/DeliveryUid.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/random.h>

namespace tavrelin::caldav {

using platform::RemindersError;

namespace {

constexpr std::size_t maxIdentifierBytes = 2048;
constexpr std::size_t maxWordsCharacters = 200;

// The server answered 401 to the password it was given.
class PasswordRejected : public RemindersError {
public:
    using RemindersError::RemindersError;
};

std::string randomName() {
    try {
        return posix::randomHex(16);
    } catch (const std::system_error& error) {
        throw RemindersError(std::string("could not make a random name: ") + error.what());
    }
}

std::string withTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

// A path this database may have answered as an identifier: absolute, plain,
// never stepping out with "..".
bool isResourcePath(const std::string& identifier) {
    if (identifier.empty() || identifier.front() != '/' || identifier.size() > maxIdentifierBytes)
        return false;
    if (std::any_of(identifier.begin(), identifier.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte <= 0x20 || byte == 0x7f || c == '?' || c == '#' || c == '\\';
        }))
        return false;
    for (const std::string_view segment : text::split(identifier, '/'))
        if (segment == ".." || segment == ".")
            return false;
    return true;
}

// What a person can read of a reply body: an HTML page's title, else the
// text without its markup, on one line and not too long.
std::string readableWords(std::string_view body) {
    body = body.substr(0, 64 * 1024);
    if (!text::isValidUtf8(body))
        return {};
    std::string source(body);
    const std::string lowered = text::lowercasedAscii(source);
    if (auto open = lowered.find("<title>"); open != std::string::npos)
        if (auto close = lowered.find("</title>", open); close != std::string::npos)
            source = source.substr(open + 7, close - open - 7);
    std::string words;
    bool inTag = false, space = false;
    for (char c : source) {
        if (c == '<') {
            inTag = true;
            space = true;
        } else if (c == '>' && inTag) {
            inTag = false;
        } else if (!inTag) {
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
                space = true;
            } else {
                if (space && !words.empty())
                    words += ' ';
                space = false;
                words += c;
            }
        }
    }
    if (text::characterCount(words) > maxWordsCharacters)
        words = text::characterPrefix(words, maxWordsCharacters) + "…";
    return words;
}

std::string propfindBody(const std::string& properties) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:propfind xmlns:d=\"DAV:\" "
           "xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop>" +
           properties + "</d:prop></d:propfind>";
}

} // namespace

struct CalDavRemindersDatabase::Reply {
    long status = 0;
    std::string body;
    DavUrl url; // where the answer came from, after redirects
};

// The requests of one poll (or of one sign-in): one HTTP session, so one
// kept-alive connection, with one password.
struct CalDavRemindersDatabase::Exchange {
    struct Hops {
        std::optional<std::string> last; // where the last request's redirects led
    };

    Exchange(const CalDavRemindersDatabase& owner, std::string password)
        : owner(owner), password(std::move(password)),
          credentials(QByteArray::fromStdString(owner.user_ + ":" + this->password).toBase64().toStdString()) {
        platform::HttpSessionConfig config = owner.options_.http;
        config.allowRedirect = [hops = hops](const std::string& from, const std::string& to) {
            const auto target = DavUrl::parse(to);
            if (!target || !platform::keepsTransportSecurity(from, to) ||
                (target->scheme == "http" && !isLoopbackHost(target->host)))
                return false;
            hops->last = to;
            return true;
        };
        session = owner.http_.makeSession(config);
    }

    // Throws RemindersError: with the server's words for a 5xx, and
    // PasswordRejected for a 401 from the server's own origin.
    Reply send(const std::string& method, const DavUrl& url, std::vector<std::pair<std::string, std::string>> headers,
               std::string body = {}) {
        if (failure)
            throw RemindersError(*failure);
        headers.emplace_back("Authorization", "Basic " + credentials);
        platform::HttpRequest request{method, url.text(), std::move(headers), std::move(body)};
        hops->last.reset();
        platform::HttpResponse response;
        try {
            response = session->perform(request);
        } catch (const platform::HttpBodyTooLarge&) {
            throw RemindersError("the CalDAV server's answer to " + method + " " + url.path + " was too large");
        } catch (const platform::HttpRedirectRefused& refused) {
            failure = "the CalDAV server sent this agent on to " + redacted(refused.target()) +
                      ", which it does not follow: only https, or plain http on this computer";
            throw RemindersError(*failure);
        } catch (const platform::HttpTransportError& error) {
            failure = "could not reach the CalDAV server " + owner.url_.origin() + ": " + redacted(error.what());
            throw RemindersError(*failure);
        }
        Reply reply{response.status, std::move(response.body), url};
        if (hops->last)
            if (auto landed = DavUrl::parse(*hops->last))
                reply.url = *landed;
        if (reply.status == 401) {
            // The HTTP layer keeps the password from another origin, which
            // then asks for one: that is no verdict on the password.
            if (!reply.url.sameOrigin(owner.url_))
                throw RemindersError("the CalDAV server sent this agent on to " + reply.url.origin() +
                                     ", which asks for a password; set that address up instead");
            throw PasswordRejected("the CalDAV server " + owner.url_.origin() + " rejected the password for " + owner.user_);
        }
        if (reply.status >= 500)
            throw RemindersError(words(reply));
        return reply;
    }

    Reply propfind(const DavUrl& url, int depth, const std::string& properties) {
        return send("PROPFIND", url, {{"Depth", std::to_string(depth)}, {"Content-Type", "application/xml; charset=utf-8"}},
                    propfindBody(properties));
    }

    // "the CalDAV server answered HTTP 503 to /alice/: Service Unavailable"
    std::string words(const Reply& reply) const {
        const std::string said = redacted(readableWords(reply.body));
        return "the CalDAV server answered HTTP " + std::to_string(reply.status) + " to " + reply.url.path +
               (said.empty() ? "" : ": " + said);
    }

    // Servers have been known to echo what they were sent.
    std::string redacted(std::string text) const {
        for (const std::string& secret : {password, credentials})
            if (!secret.empty())
                for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at))
                    text.replace(at, secret.size(), "…");
        return text;
    }

    const CalDavRemindersDatabase& owner;
    const std::string password;
    const std::string credentials;
    std::shared_ptr<Hops> hops = std::make_shared<Hops>();
    std::unique_ptr<platform::HttpSession> session;
    // Set by a transport failure: the rest of the exchange fails with it.
    std::optional<std::string> failure;
};

DavUrl CalDavRemindersDatabase::serverUrl(const std::string& serverAddress) {
    std::string typed(text::trimmed(serverAddress));
    if (typed.empty())
        throw CalDavSetupError("The server address is empty.");
    if (typed.find("://") == std::string::npos)
        typed = "https://" + typed;
    auto url = DavUrl::parse(typed);
    if (!url)
        throw CalDavSetupError("“" + serverAddress + "” is not a server address (such as https://cloud.example.com).");
    if (url->scheme == "http" && !isLoopbackHost(url->host))
        throw CalDavSetupError("Plain http is only for a server on this computer (localhost); use an https:// address.");
    // Dot segments resolved, so the path compares as the server writes it.
    if (auto normalised = url->resolve(url->path))
        url->path = normalised->path;
    url->query.clear();
    return *url;
}

CalDavRemindersDatabase::CalDavRemindersDatabase(const std::string& serverAddress, std::string user, platform::Http& http,
                                                 platform::Secrets& secrets, CalDavOptions options)
    : url_(serverUrl(serverAddress)), server_(url_.text()), user_(std::move(user)), http_(http), secrets_(secrets),
      options_(std::move(options)) {
    if (user_.empty())
        throw CalDavSetupError("The user name is empty.");
    // HTTP Basic credentials cannot carry a colon in the user name.
    if (user_.find(':') != std::string::npos ||
        std::any_of(user_.begin(), user_.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }) ||
        !text::isValidUtf8(user_))
        throw CalDavSetupError("The user name cannot hold “:” or control characters.");
    if (options_.keyringLabel.empty())
        options_.keyringLabel = "Tavrelin: " + user_ + " on " + url_.host;
}

CalDavRemindersDatabase::~CalDavRemindersDatabase() = default;

std::unique_ptr<CalDavRemindersDatabase> makeCalDavRemindersDatabase(const std::string& serverAddress, const std::string& user,
                                                                     platform::Http& http, platform::Secrets& secrets) {
    return std::make_unique<CalDavRemindersDatabase>(serverAddress, user, http, secrets);
}

std::unique_ptr<CalDavRemindersDatabase::Exchange> CalDavRemindersDatabase::exchange(const std::string& password) const {
    return std::make_unique<Exchange>(*this, password);
}

CalDavRemindersDatabase::Exchange& CalDavRemindersDatabase::pollExchange() const {
    const std::string current = password();
    if (!poll_ || poll_->password != current)
        poll_ = exchange(current);
    return *poll_;
}

std::string CalDavRemindersDatabase::password() const {
    if (!password_)
        throw RemindersError(keyringProblem_ ? "could not read the CalDAV password from the keyring: " + *keyringProblem_
                                             : "not signed in to the CalDAV server " + server_);
    if (rejected_ && *rejected_ == *password_)
        throw RemindersError("the CalDAV server " + url_.origin() + " rejected the password for " + user_);
    return *password_;
}

void CalDavRemindersDatabase::readKeyring(platform::Secrets::Prompt prompt) const {
    try {
        password_ = secrets_.lookup(key(), prompt);
        keyringProblem_.reset();
    } catch (const platform::SecretsError& error) {
        keyringProblem_ = error.what();
    }
}

platform::RemindersAuthorization CalDavRemindersDatabase::authorizationStatus() const {
    std::lock_guard lock(mutex_);
    poll_.reset(); // a new poll: a new connection, and no failure carried over
    // Asked again only while there is nothing to use: a sign-in from another
    // process shows up here.
    if (!password_ || (rejected_ && *rejected_ == *password_))
        readKeyring(platform::Secrets::Prompt::never);
    if (!password_)
        return platform::RemindersAuthorization::notDetermined;
    if (rejected_ && *rejected_ == *password_)
        return platform::RemindersAuthorization::denied;
    return homeFoundUnrefused() ? platform::RemindersAuthorization::fullAccess : platform::RemindersAuthorization::denied;
}

platform::RemindersAccessAnswer CalDavRemindersDatabase::requestFullAccess() {
    std::lock_guard lock(mutex_);
    readKeyring(platform::Secrets::Prompt::allowed);
    if (!password_) {
        if (keyringProblem_)
            throw RemindersError("could not read the CalDAV password from the keyring: " + *keyringProblem_);
        return platform::RemindersAccessAnswer::denied; // nobody signed in yet
    }
    if (rejected_ && *rejected_ == *password_)
        return platform::RemindersAccessAnswer::denied;
    return homeFoundUnrefused() ? platform::RemindersAccessAnswer::granted : platform::RemindersAccessAnswer::denied;
}

bool CalDavRemindersDatabase::homeFoundUnrefused() const {
    if (home_)
        return true;
    try {
        home_ = discover(pollExchange());
    } catch (const PasswordRejected&) {
        rejected_ = password_;
        return false;
    } catch (const std::exception&) {
        // Unreachable or not CalDAV: the poll's first request says so.
    }
    return true;
}

DavUrl CalDavRemindersDatabase::discover(Exchange& exchange) const {
    DavUrl wellKnown = url_;
    wellKnown.path = "/.well-known/caldav";
    // An address with a path names the place to start; a bare host starts at
    // the well-known address, as clients do.
    const std::vector<DavUrl> starts = url_.path == "/" ? std::vector{wellKnown, url_} : std::vector{url_, wellKnown};
    std::string lastAnswer;
    auto homeFrom = [&](const std::vector<std::string>& hrefs, const DavUrl& base) -> std::optional<DavUrl> {
        if (hrefs.empty())
            return std::nullopt;
        auto home = base.resolve(hrefs.front());
        if (!home)
            throw RemindersError("the CalDAV server gave a calendar home that is no address: " + hrefs.front());
        if (!home->sameOrigin(url_))
            throw RemindersError("the CalDAV server keeps the calendars at " + home->origin() +
                                 ", which this agent does not send the password for " + url_.origin() + " to");
        home->path = withTrailingSlash(home->path);
        home->query.clear();
        return home;
    };
    for (const DavUrl& start : starts) {
        Reply reply = exchange.propfind(start, 0, "<d:current-user-principal/><c:calendar-home-set/><d:resourcetype/>");
        if (reply.status != 207) {
            lastAnswer = exchange.words(reply);
            continue;
        }
        std::vector<DavResource> found;
        try {
            found = parseMultistatus(reply.body);
        } catch (const DavXmlError& error) {
            lastAnswer = error.what();
            continue;
        }
        if (found.empty())
            continue;
        const DavResource& here = found.front();
        if (auto home = homeFrom(here.calendarHomeSet, reply.url))
            return *home;
        if (here.currentUserPrincipal) {
            auto principal = reply.url.resolve(*here.currentUserPrincipal);
            if (!principal || !principal->sameOrigin(url_)) {
                lastAnswer = "the current user's principal is elsewhere: " + *here.currentUserPrincipal;
                continue;
            }
            Reply answer = exchange.propfind(*principal, 0, "<c:calendar-home-set/>");
            if (answer.status == 207) {
                try {
                    const auto principalFound = parseMultistatus(answer.body);
                    if (!principalFound.empty())
                        if (auto home = homeFrom(principalFound.front().calendarHomeSet, answer.url))
                            return *home;
                    lastAnswer = "the principal " + principal->path + " names no calendar home";
                } catch (const DavXmlError& error) {
                    lastAnswer = error.what();
                }
            } else {
                lastAnswer = exchange.words(answer);
            }
            continue;
        }
        // A server without principals: the address given holds the calendars.
        if (here.collection && &start == &starts.front() && url_.path != "/")
            return reply.url;
    }
    throw RemindersError("found no CalDAV calendars at " + server_ + (lastAnswer.empty() ? "" : " (" + lastAnswer + ")"));
}

std::vector<CalDavRemindersDatabase::List> CalDavRemindersDatabase::readLists(Exchange& exchange) const {
    for (int attempt = 0;; ++attempt) {
        if (!home_)
            home_ = discover(exchange);
        Reply reply = exchange.propfind(*home_, 1, "<d:resourcetype/><d:displayname/><c:supported-calendar-component-set/>");
        // The home went away: find it again, once.
        if ((reply.status == 404 || reply.status == 410) && attempt == 0) {
            home_.reset();
            continue;
        }
        if (reply.status != 207)
            throw RemindersError(exchange.words(reply));
        if (reply.url.sameOrigin(url_) && reply.url.path != home_->path) // moved: remember where to
            home_->path = withTrailingSlash(reply.url.path);
        std::vector<DavResource> found;
        try {
            found = parseMultistatus(reply.body);
        } catch (const DavXmlError& error) {
            throw RemindersError("could not read the CalDAV server's list of calendars: " + std::string(error.what()));
        }
        std::vector<List> lists;
        for (const DavResource& resource : found) {
            auto url = reply.url.resolve(resource.href);
            if (!url || !url->sameOrigin(url_) || !resource.calendar)
                continue;
            const std::string path = withTrailingSlash(url->path);
            if (path == home_->path)
                continue;
            // A calendar that does not say what it takes takes everything.
            if (resource.components &&
                std::find(resource.components->begin(), resource.components->end(), "VTODO") == resource.components->end())
                continue;
            std::string title = resource.displayName.value_or("");
            if (title.empty())
                title = url->lastSegment();
            lists.push_back({path, title});
        }
        std::sort(lists.begin(), lists.end(), [](const List& a, const List& b) { return a.identifier < b.identifier; });
        return lists;
    }
}

const CalDavRemindersDatabase::List* CalDavRemindersDatabase::knownList(const std::string& identifier) const {
    for (const List& list : lists_)
        if (list.identifier == identifier)
            return &list;
    return nullptr;
}

std::vector<platform::ReminderList> CalDavRemindersDatabase::lists() const {
    std::lock_guard lock(mutex_);
    try {
        lists_ = readLists(pollExchange());
    } catch (const PasswordRejected&) {
        rejected_ = password_;
        throw;
    }
    std::vector<platform::ReminderList> result;
    for (const List& list : lists_)
        result.push_back({list.identifier, list.title});
    return result;
}

std::string CalDavRemindersDatabase::save(const platform::NewReminder& reminder) {
    std::lock_guard lock(mutex_);
    try {
        Exchange& exchange = pollExchange();
        const List* list = knownList(reminder.listIdentifier);
        if (!list) { // made since the last look, perhaps
            lists_ = readLists(exchange);
            list = knownList(reminder.listIdentifier);
        }
        if (!list)
            throw RemindersError("there is no task list “" + reminder.listIdentifier + "” on " + server_);
        const List target = *list;

        const std::string uid =
            reminder.deliveryKey.empty() ? "tavrelin-" + randomName() : posix::deliveryUid(reminder.deliveryKey);
        DavUrl resource = url_;
        resource.path = target.identifier + uid + ".ics";
        const auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        Reply reply = exchange.send("PUT", resource, {{"Content-Type", "text/calendar; charset=utf-8"}, {"If-None-Match", "*"}},
                                    ical::calendarText(reminder, uid, platform::Date::fromUnix(now)));
        switch (reply.status) {
        case 201:
        case 204:
            return reply.url.path;
        case 412: // filed before: the person may have changed it since
            return reply.url.path;
        default:
            break;
        }
        if (auto conflict = uidConflict(reply.body))
            return findByUid(exchange, target, uid, conflict->href);
        if (reply.status == 404 || reply.status == 409 || reply.status == 410) {
            lists_.clear(); // looked up afresh by the next save or poll
            throw RemindersError("the task list “" + target.title + "” is no longer on the CalDAV server (" +
                                 exchange.words(reply) + ")");
        }
        throw RemindersError(exchange.words(reply));
    } catch (const PasswordRejected&) {
        rejected_ = password_;
        throw;
    }
}

std::string CalDavRemindersDatabase::findByUid(Exchange& exchange, const List& list, const std::string& uid,
                                               const std::optional<std::string>& href) const {
    DavUrl collection = url_;
    collection.path = list.identifier;
    if (href)
        if (auto found = collection.resolve(*href); found && found->sameOrigin(url_) && isResourcePath(found->path))
            return found->path;
    // The list holds the UID under another name: ask the list for it.
    const std::string query = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<c:calendar-query xmlns:d=\"DAV:\" "
                              "xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop><d:getetag/></d:prop><c:filter><c:comp-filter "
                              "name=\"VCALENDAR\"><c:comp-filter name=\"VTODO\"><c:prop-filter name=\"UID\"><c:text-match "
                              "collation=\"i;octet\">" +
                              xmlEscaped(uid) +
                              "</c:text-match></c:prop-filter></c:comp-filter></c:comp-filter></c:filter></c:calendar-query>";
    Reply reply =
        exchange.send("REPORT", collection, {{"Depth", "1"}, {"Content-Type", "application/xml; charset=utf-8"}}, query);
    if (reply.status == 207) {
        try {
            for (const DavResource& resource : parseMultistatus(reply.body))
                if (auto found = reply.url.resolve(resource.href);
                    found && found->sameOrigin(url_) && isResourcePath(found->path) && found->path != list.identifier)
                    return found->path;
        } catch (const DavXmlError&) {
        }
    }
    throw RemindersError("the task list “" + list.title + "” already holds the reminder " + uid +
                         ", but the CalDAV server does not say where");
}

std::optional<platform::SavedReminder> CalDavRemindersDatabase::reminder(const std::string& identifier) const {
    if (!isResourcePath(identifier))
        return std::nullopt;
    std::lock_guard lock(mutex_);
    Reply reply;
    try {
        DavUrl resource = url_;
        resource.path = identifier;
        reply = pollExchange().send("GET", resource, {{"Accept", "text/calendar"}});
    } catch (const PasswordRejected&) {
        rejected_ = password_;
        throw;
    }
    if (reply.status == 404 || reply.status == 410)
        return std::nullopt;
    if (reply.status != 200)
        throw RemindersError(poll_->words(reply));
    ical::Component parsed{icalparser_parse_string(reply.body.c_str())};
    icalcomponent* todo = ical::findTodo(parsed.get());
    if (!todo)
        return std::nullopt;
    DavUrl where = url_;
    where.path = identifier;
    const List* list = knownList(where.parentPath());
    platform::SavedReminder saved = ical::readTodo(todo, identifier, list ? list->title : "");
    if (!list)
        saved.listTitle.reset();
    return saved;
}

CalDavRemindersDatabase::SignInResult CalDavRemindersDatabase::signIn(const std::string& password) {
    using Kind = SignInResult::Kind;
    if (password.empty())
        return {Kind::failed, "The password is empty."};
    // Tried on a connection of its own, outside the lock: a poll may go on
    // meanwhile with what it has.
    DavUrl home;
    try {
        auto trial = exchange(password);
        home = discover(*trial);
    } catch (const PasswordRejected&) {
        return {Kind::rejected, {}};
    } catch (const std::exception& error) {
        return {Kind::failed, error.what()};
    }
    try {
        secrets_.store(key(), options_.keyringLabel, password);
    } catch (const platform::SecretsError& error) {
        return {Kind::failed, "The server took the password, but the keyring could not keep it: " + std::string(error.what())};
    }
    std::lock_guard lock(mutex_);
    password_ = password;
    rejected_.reset();
    keyringProblem_.reset();
    home_ = home;
    poll_.reset();
    return {Kind::signedIn, {}};
}

void CalDavRemindersDatabase::signOut() {
    std::lock_guard lock(mutex_);
    secrets_.remove(key());
    password_.reset();
    rejected_.reset();
    home_.reset();
    lists_.clear();
    poll_.reset();
}

platform::ReminderList CalDavRemindersDatabase::createList(const std::string& title) {
    std::lock_guard lock(mutex_);
    try {
        Exchange& exchange = pollExchange();
        if (!home_)
            home_ = discover(exchange);
        DavUrl collection = *home_;
        collection.path += randomName() + "/";
        const std::string properties = "<d:displayname>" + xmlEscaped(title) +
                                       "</d:displayname><c:supported-calendar-component-set><c:comp "
                                       "name=\"VTODO\"/></c:supported-calendar-component-set>";
        const std::string namespaces = "xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"";
        const std::vector<std::pair<std::string, std::string>> headers{{"Content-Type", "application/xml; charset=utf-8"}};
        Reply reply = exchange.send("MKCALENDAR", collection, headers,
                                    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<c:mkcalendar " + namespaces +
                                        "><d:set><d:prop>" + properties + "</d:prop></d:set></c:mkcalendar>");
        // Servers without MKCALENDAR make calendars with an extended MKCOL.
        if (reply.status == 405 || reply.status == 501 || reply.status == 400)
            reply = exchange.send("MKCOL", collection, headers,
                                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:mkcol " + namespaces +
                                      "><d:set><d:prop><d:resourcetype><d:collection/><c:calendar/></d:resourcetype>" +
                                      properties + "</d:prop></d:set></d:mkcol>");
        if (reply.status != 201)
            throw RemindersError("could not make the task list “" + title + "”: " + exchange.words(reply));
        lists_.clear();
        return {collection.path, title};
    } catch (const PasswordRejected&) {
        rejected_ = password_;
        throw;
    }
}

} // namespace tavrelin::caldav
