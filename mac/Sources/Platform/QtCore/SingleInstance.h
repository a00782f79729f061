#pragma once

#include "Platform/AgentInstance.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tavrelin::qt {

using platform::InstanceError;

// Where one user's agent keeps its lock and its socket.
struct InstancePaths {
    std::string folder;
    std::string lock;
    std::string socket;

    // $XDG_RUNTIME_DIR when it is usable and the socket's path fits a socket
    // address; else the private folder <temporary>/tavrelin-<uid>, made when
    // missing, so every agent of the user that cannot use its runtime folder
    // meets the others in the same place. Throws InstanceError when that
    // folder is a link, not a folder, or not the user's.
    static InstancePaths resolve(const std::optional<std::string>& runtimeFolder, uid_t user,
                                 const std::string& temporary = "/tmp");
    // From this process's environment and user; the temporary folder is
    // $TMPDIR when absolute, else /tmp.
    static InstancePaths forThisUser();

    // An absolute path to a folder that `user` owns and nobody else may enter.
    static bool usableRuntimeFolder(const std::string& path, uid_t user);
};

// One agent per user. The agent holds an exclusive lock on a file in the
// runtime folder for as long as its process lives (the kernel lets go of it
// when the process dies, however it dies), and only the holder listens on
// the socket beside it. A later process hands its pairing link to the agent
// that answers there, learns that one runs, asks it to quit or asks for its
// status line: so the agent can be driven without a tray.
//
// On the socket a client writes one line, "ping", "reopen", "open <link>",
// "quit", "status" or "places", and the agent answers "ok" ("ok <status
// line>" for "status"). "reopen" is a start with nothing to hand over: the
// person looks for the agent, which shows itself; "places" says the stored
// choice of where reminders go changed.
// The server side runs on the main thread's event loop; the client side
// blocks for at most its time-out and is meant for a process that is not
// (yet) an agent.
class SingleInstance final : public platform::AgentInstance {
public:
    explicit SingleInstance(InstancePaths paths);
    // Stops listening, then lets go of the lock.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock if nobody holds it; true when this process holds it now.
    // Throws InstanceError when the lock file cannot be opened.
    bool tryLock();
    bool holdsLock() const { return lock_ >= 0; }

    // A holder that does not answer is on its way out: quitting waits for
    // background work.
    Claim claim(std::chrono::milliseconds patience, const std::function<bool()>& ask) override;

    // Client side, to the agent listening on the socket, each waiting at
    // most its time-out.
    bool ping() const override { return ping(1000); }
    bool ping(int timeoutMs) const;
    bool requestReopen() const override { return requestReopen(1000); }
    bool requestReopen(int timeoutMs) const;
    // Hands the link over; true when the agent took it.
    bool handOver(const std::string& link) const override { return handOver(link, 3000); }
    bool handOver(const std::string& link, int timeoutMs) const;
    // True when the agent agreed to quit.
    bool requestQuit() const override { return requestQuit(3000); }
    bool requestQuit(int timeoutMs) const;
    // The agent's status line; none when no agent answers.
    std::optional<std::string> requestStatus() const override { return requestStatus(3000); }
    std::optional<std::string> requestStatus(int timeoutMs) const;
    // Tells the agent that the stored choice of where reminders go changed;
    // true when it took that in.
    bool announcePlaceChange(int timeoutMs = 3000) const;

    // Server side: listens on the socket. Only the lock holder may, so any
    // socket file found there is left over and is replaced. Throws
    // InstanceError when the socket cannot be made.
    void listen();
    // Stops answering and removes the socket file if it is still the one
    // this process made. The lock is kept until the process ends, so a later
    // start waits for this one to be gone instead of running beside it.
    void stopListening();
    bool isListening() const { return listener_ >= 0; }

    const InstancePaths& paths() const { return paths_; }

    // Called on the main thread with each link a later process handed over.
    std::function<void(const std::string& link)> onLink;
    // Called on the main thread when a later process was started with nothing
    // to hand over.
    std::function<void()> onReopen;
    // Called on the main thread when a later process asks this agent to quit;
    // the agent has stopped answering by then.
    std::function<void()> onQuit;
    // Answers the status line a later process asks for.
    std::function<std::string()> status;
    // Called on the main thread when a later process changed the stored
    // choice of where reminders go ("places").
    std::function<void()> onPlaceChange;

    // Longest request line accepted; a pairing link is far shorter.
    static constexpr std::size_t maxLineBytes = 64 * 1024;

private:
    struct Client;
    // The answer line without its line feed, or none.
    std::optional<std::string> exchange(const std::string& request, int timeoutMs) const;
    void accept();
    void read(Client& client);
    void answer(Client& client, const std::string& line);
    void drop(Client& client);

    InstancePaths paths_;
    int lock_ = -1;
    int listener_ = -1;
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    QObject context_; // owns what the server schedules on the event loop
    std::unique_ptr<QSocketNotifier> listening_;
    std::map<Client*, std::unique_ptr<Client>> clients_;
};

} // namespace tavrelin::qt
