#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace tavrelin::qt {

// One agent per user, found through a local socket. A later process either
// hands its pairing link to the agent that answers there, or learns that one
// runs. Main thread only.
//
// On the socket a client writes one line, "ping" or "open <link>", and the
// agent answers "ok".
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

    // Longest request line accepted; a pairing link is far shorter.
    static constexpr qsizetype maxLineBytes = 64 * 1024;

private:
    bool exchange(const QByteArray& request, int timeoutMs) const;
    void accept();

    QString path_;
    std::unique_ptr<QLocalServer> server_;
    std::string error_;
};

} // namespace tavrelin::qt
