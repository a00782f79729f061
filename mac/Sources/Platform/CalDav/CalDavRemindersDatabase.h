#pragma once

#include "Platform/CalDav/DavUrl.h"
#include "Platform/Http.h"
#include "Platform/RemindersDatabase.h"
#include "Platform/Secrets.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::caldav {

// A server address or user name the database will not work with; what() says
// why, in words for the person who typed it.
class CalDavSetupError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct CalDavOptions {
    // Time-outs and size cap of each poll's connection. Its redirect rule is
    // the database's own: never from https down to http, plain http only to
    // this computer, and (the HTTP layer's rule) no password to another origin.
    platform::HttpSessionConfig http;
    // What keyring managers show for the password; empty: "Tavrelin: <user> on <host>".
    std::string keyringLabel;
};

// The task lists of one account on a CalDAV server (Nextcloud, Radicale,
// Fastmail …), written directly.
//
// Finding the lists: the address as given, the server's well-known CalDAV
// address, the current user's principal, its calendar home; the home is
// remembered across polls and found again when the server says it moved or
// is gone. Every lists() call reads the home afresh (one PROPFIND), so a list
// made or removed on the server shows at the next poll. Only calendars that
// take tasks (VTODO) are lists, titled by their display name, else the last
// segment of their address, in the order of their addresses.
//
// Filing: one `<UID>.ics` per reminder, PUT with If-None-Match: *, holding
// the VTODO the task-list folder gets. Saved only when the server answers
// 201 or 204; 412 means the UID is already there: filed before, and answered
// untouched. Identifiers are the resources' paths on the server.
//
// Connections: authorizationStatus() is asked first in every poll and starts
// the poll's HTTP session, so a poll's requests share one kept-alive
// connection. After a transport failure the rest of the poll fails at once
// with the same words (a server that died is not waited for once per item).
//
// The password lives in the keyring only (Secrets), under the server address
// and the user name; it is sent as HTTP Basic credentials over https, or
// plain http to this computer. A password the server rejected is not sent
// again: the status is denied until signIn() gives another (or one appears in
// the keyring), so a wrong password shows as "needs access", not as a loop of
// failed polls that could lock the account.
//
// Thread-safe: calls may come from the poll and from the menu's sign-in at
// once; they take turns.
class CalDavRemindersDatabase final : public platform::RemindersDatabase {
public:
    // `serverAddress`: https://…, or http:// to 127.0.0.1, ::1 or localhost;
    // "https://" is assumed when no scheme is given. Throws CalDavSetupError.
    // `http` and `secrets` must outlive the database.
    CalDavRemindersDatabase(const std::string& serverAddress, std::string user, platform::Http& http,
                            platform::Secrets& secrets, CalDavOptions options = {});
    ~CalDavRemindersDatabase() override;

    // The address as the database uses it, or CalDavSetupError.
    static DavUrl serverUrl(const std::string& serverAddress);

    const std::string& server() const { return server_; } // normalised
    const std::string& user() const { return user_; }

    platform::RemindersPlace place() const override { return {platform::RemindersPlace::Kind::calDavServer, server_, user_}; }
    // No password in the keyring (or the keyring cannot say): not determined.
    // A password the server rejected: denied. Otherwise full access; the
    // first call with a password finds the lists, so a wrong password is
    // denied before any write.
    platform::RemindersAuthorization authorizationStatus() const override;
    // Reads the keyring again, letting it ask the person to unlock it. Granted
    // when a password is there and the server did not reject it; the
    // keyring's failure comes back as the answer's error.
    platform::RemindersAccessAnswer requestFullAccess() override;
    // Throws RemindersError with the server's words.
    std::vector<platform::ReminderList> lists() const override;
    std::string save(const platform::NewReminder& reminder) override;
    // GETs the resource; none when the server has nothing there.
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override;

    struct SignInResult {
        enum class Kind { signedIn, rejected, failed };
        Kind kind;
        std::string message; // failed: why, in words for the person
    };
    // Tries `password` on the server (finding the task lists with it) and,
    // when the server takes it, stores it in the keyring and uses it from the
    // next request on. A rejected password is not stored. Blocking (network,
    // and the keyring may ask to be unlocked): call it off the main thread.
    SignInResult signIn(const std::string& password);
    // Forgets the password, the keyring's copy included. Throws SecretsError.
    void signOut();

    // A new task list (MKCALENDAR, else an extended MKCOL) taking tasks only,
    // in the calendar home. Throws RemindersError.
    platform::ReminderList createList(const std::string& title) override;

private:
    struct Exchange;
    struct Reply;
    struct List {
        std::string identifier; // the collection's path, ending in "/"
        std::string title;
    };

    platform::SecretKey key() const { return {server_, user_}; }
    // Calls below hold mutex_.
    std::unique_ptr<Exchange> exchange(const std::string& password) const;
    Exchange& pollExchange() const;
    // Finds the calendar home once, under the lock; false when the server
    // refused the password doing so (remembered as refused).
    bool homeFoundUnrefused() const;
    std::string password() const; // throws RemindersError when there is none to use
    void readKeyring(platform::Secrets::Prompt prompt) const;
    DavUrl discover(Exchange& exchange) const;
    std::vector<List> readLists(Exchange& exchange) const;
    const List* knownList(const std::string& identifier) const;
    std::string findByUid(Exchange& exchange, const List& list, const std::string& uid,
                          const std::optional<std::string>& href) const;

    DavUrl url_;
    std::string server_;
    std::string user_;
    platform::Http& http_;
    platform::Secrets& secrets_;
    CalDavOptions options_;

    mutable std::mutex mutex_;
    mutable std::optional<std::string> password_;
    // The password the server answered 401 to; never sent again.
    mutable std::optional<std::string> rejected_;
    // Why the keyring could not be read, when it could not.
    mutable std::optional<std::string> keyringProblem_;
    mutable std::optional<DavUrl> home_;
    mutable std::vector<List> lists_;
    mutable std::unique_ptr<Exchange> poll_;
};

// The database for the CalDAV place: what the menu's choice and the command
// line call. Throws CalDavSetupError for an address or user name it cannot use.
std::unique_ptr<CalDavRemindersDatabase> makeCalDavRemindersDatabase(const std::string& serverAddress, const std::string& user,
                                                                     platform::Http& http, platform::Secrets& secrets);

} // namespace tavrelin::caldav
