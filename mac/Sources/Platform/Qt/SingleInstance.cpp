#include "Platform/Qt/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include <unistd.h>

namespace tavrelin::qt {
namespace {

// A client that connects and then says nothing is dropped after this long.
constexpr int idleClientMs = 5000;

QByteArray readLine(QLocalSocket& socket, int timeoutMs) {
    QByteArray line;
    while (!line.contains('\n') && line.size() < SingleInstance::maxLineBytes) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs))
            break;
        line += socket.readAll();
    }
    return line;
}

} // namespace

QString SingleInstance::defaultSocketPath() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QDir(runtime).filePath("tavrelin-agent.sock");
    return QDir(QDir::tempPath()).filePath(QString("tavrelin-agent-%1.sock").arg(::getuid()));
}

SingleInstance::SingleInstance(QString socketPath) : path_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close(); // also removes the socket file
}

std::optional<QByteArray> SingleInstance::exchange(const QByteArray& request, int timeoutMs) const {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs))
        return std::nullopt;
    QByteArray line = readLine(socket, timeoutMs);
    const qsizetype end = line.indexOf('\n');
    if (end < 0)
        return std::nullopt;
    return line.left(end);
}

namespace {

bool isOk(const std::optional<QByteArray>& answer) {
    return answer && *answer == "ok";
}

} // namespace

bool SingleInstance::handOver(const std::string& link, int timeoutMs) const {
    // One line per request: a link never holds a line break, and one that
    // does is no pairing link, so the breaks are escaped rather than sent.
    QByteArray text = QByteArray::fromStdString(link);
    text.replace('\r', "%0D").replace('\n', "%0A");
    return isOk(exchange("open " + text + "\n", timeoutMs));
}

bool SingleInstance::requestQuit(int timeoutMs) const {
    return !isListening() && isOk(exchange("quit\n", timeoutMs));
}

std::optional<std::string> SingleInstance::requestStatus(int timeoutMs) const {
    if (isListening())
        return std::nullopt;
    std::optional<QByteArray> answer = exchange("status\n", timeoutMs);
    if (!answer || !(*answer == "ok" || answer->startsWith("ok ")))
        return std::nullopt;
    return answer->mid(3).toStdString();
}

bool SingleInstance::anotherAnswers(int timeoutMs) const {
    if (isListening())
        return false; // the name is ours
    return isOk(exchange("ping\n", timeoutMs));
}

bool SingleInstance::isListening() const {
    return server_ && server_->isListening();
}

bool SingleInstance::listen() {
    if (isListening())
        return true;
    // Two agents starting together must not both find the socket unanswered
    // and each remove the other's.
    QLockFile lock(path_ + ".lock");
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(5000)) {
        error_ = "the lock " + path_.toStdString() + ".lock is held by another process";
        return false;
    }
    if (isOk(exchange("ping\n", 1000))) {
        error_.clear();
        return false;
    }
    QLocalServer::removeServer(path_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path_)) {
        error_ = "cannot listen on " + path_.toStdString() + ": " + server_->errorString().toStdString();
        server_.reset();
        return false;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { accept(); });
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(idleClientMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            qsizetype end = buffer->indexOf('\n');
            if (end < 0) {
                if (buffer->size() > maxLineBytes) {
                    socket->abort();
                    socket->deleteLater();
                }
                return;
            }
            QByteArray line = buffer->left(end);
            buffer->clear();
            if (line == "ping") {
                socket->write("ok\n");
            } else if (line.startsWith("open ")) {
                socket->write("ok\n");
                std::string link = line.mid(5).toStdString();
                // Handled from the event loop, not inside the socket's signal.
                QTimer::singleShot(0, server_.get(), [this, link] {
                    if (onLink)
                        onLink(link);
                });
            } else if (line == "quit") {
                socket->write("ok\n");
                QTimer::singleShot(0, server_.get(), [this] {
                    if (onQuit)
                        onQuit();
                });
            } else if (line == "status") {
                // One line: a failure message could hold a line break.
                QByteArray text = QByteArray::fromStdString(status ? status() : std::string());
                text.replace('\r', ' ').replace('\n', ' ');
                socket->write(text.isEmpty() ? "ok\n" : "ok " + text + "\n");
            } else {
                socket->write("?\n");
            }
            socket->disconnectFromServer();
        });
    }
}

} // namespace tavrelin::qt
