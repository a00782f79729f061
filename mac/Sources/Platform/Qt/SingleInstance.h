#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavrelin::qt {

// One agent per user, found through a local socket. A later process hands its
// pairing link to the agent that answers there, learns that one runs, asks it
// to quit or asks for its status line: so the agent can be driven without a
// tray. Main thread only.
//
// On the socket a client writes one line, "ping", "open <link>", "quit" or
// "status", and the agent answers "ok" ("ok <status line>" for "status").
class SingleInstance {
public:
    // $XDG_RUNTIME_DIR/tavrelin-agent.sock, else a per-user name in the
    // temporary folder.
    static QString defaultSocketPath();

    explicit SingleInstance(QString socketPath = defaultSocketPath());
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Hands the link to the agent answering on the socket; true when it
    // took it. Blocks for at most the time-out.
    bool handOver(const std::string& link, int timeoutMs = 3000) const;
    // Asks the agent answering on the socket to quit; true when it agreed.
    bool requestQuit(int timeoutMs = 3000) const;
    // The status line of the agent answering on the socket; none when no
    // agent answers.
    std::optional<std::string> requestStatus(int timeoutMs = 3000) const;
    // Whether an agent other than this process answers on the socket.
    bool anotherAnswers(int timeoutMs = 1000) const;
    // Listens on the socket unless another agent answers there; a socket
    // that nobody answers on is left over from a crash and is removed first.
    // True when this process now listens.
    bool listen();
    bool isListening() const;
    // Why the last listen() failed although no agent answered; empty otherwise.
    const std::string& listenError() const { return error_; }
    const QString& socketPath() const { return path_; }

    // Called on the main thread with each link a later process handed over.
    std::function<void(const std::string& link)> onLink;
    // Called on the main thread when a later process asks this agent to quit.
    std::function<void()> onQuit;
    // Answers the status line a later process asks for.
    std::function<std::string()> status;

    // Longest request line accepted; a pairing link is far shorter.
    static constexpr qsizetype maxLineBytes = 64 * 1024;

private:
    // The answer line without its line feed, or none.
    std::optional<QByteArray> exchange(const QByteArray& request, int timeoutMs) const;
    void accept();

    QString path_;
    std::unique_ptr<QLocalServer> server_;
    std::string error_;
};

} // namespace tavrelin::qt
