#pragma once

// An HTTP server on 127.0.0.1 inside the test program, and a gate its handlers
// can wait at until the test lets them through.

#include "Support/DevRelayProcess.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tavrelin::testing {

// Serves the routes `setUp` installs, on a free port, from construction to
// destruction. Handlers run on the server's own threads.
class LoopbackServer {
public:
    explicit LoopbackServer(const std::function<void(httplib::Server&)>& setUp) {
        setUp(server_);
        // A machine this slow would otherwise close a kept connection between two requests.
        server_.set_keep_alive_timeout(60);
        const int port = server_.bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("no free loopback port");
        url_ += std::to_string(port);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // A stop() before the server runs is not heard, and the thread would never end.
        if (!eventually([this] { return server_.is_running(); }, processDeadline)) {
            std::fputs("the loopback server did not start in time\n", stderr);
            std::abort();
        }
    }
    ~LoopbackServer() {
        server_.stop();
        thread_.join();
    }

    // http://127.0.0.1:PORT
    const std::string& url() const { return url_; }

private:
    httplib::Server server_;
    std::string url_ = "http://127.0.0.1:";
    std::thread thread_;
};

// Holds whoever calls pass() until the test opens it (or, so that nothing
// waits forever, the deadline passes: pass() then answers false). Counts the
// callers that arrived.
class Gate {
public:
    bool pass(std::chrono::milliseconds limit = processDeadline) {
        std::unique_lock lock(mutex_);
        ++arrivals_;
        return changed_.wait_for(lock, limit, [this] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    int arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrivals_ = 0;
};

} // namespace tavrelin::testing
