#pragma once

// The development relay (build/tools/dev-relay) as a child process on a free
// loopback port, stopped again at the end. Its development endpoints are
// reached through a platform::Http, so benchmarks can use it too.

#include "Platform/Http.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace tavrelin::testing {

class DevRelayProcess {
public:
    // `program` is the dev-relay executable. With `quiet` its chatter on
    // standard error is dropped.
    DevRelayProcess(const std::string& program, const std::string& token, platform::Http& http, bool quiet = false)
        : session_(http.makeSession({})) {
        if (::access(program.c_str(), X_OK) != 0)
            throw std::runtime_error(program + " is missing: build the dev-relay target first");
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            if (quiet) {
                int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, STDERR_FILENO);
            }
            const char* arguments[] = {program.c_str(), "--port", "0", "--token", token.c_str(), nullptr};
            ::execv(program.c_str(), const_cast<char* const*>(arguments));
            ::_exit(127);
        }
        ::close(out[1]);
        stdout_ = out[0];
        // The one line it prints: tavrelin://pair?token=…&api=http://127.0.0.1:PORT
        std::string line = readLine(10'000);
        auto api = line.find("&api=");
        if (api == std::string::npos) {
            stop();
            throw std::runtime_error("dev-relay printed no pairing link: " + line);
        }
        api_ = line.substr(api + 5);
    }

    ~DevRelayProcess() { stop(); }
    DevRelayProcess(const DevRelayProcess&) = delete;
    DevRelayProcess& operator=(const DevRelayProcess&) = delete;

    // http://127.0.0.1:PORT
    const std::string& api() const { return api_; }

    nlohmann::json get(const std::string& path) { return exchange("GET", path, ""); }
    nlohmann::json post(const std::string& path, const nlohmann::json& body) { return exchange("POST", path, body.dump()); }

private:
    nlohmann::json exchange(const std::string& method, const std::string& path, const std::string& body) {
        platform::HttpRequest request;
        request.method = method;
        request.url = api_ + path;
        request.body = body;
        if (!body.empty())
            request.headers.emplace_back("Content-Type", "application/json");
        auto response = session_->perform(request);
        if (response.status != 200)
            throw std::runtime_error(method + " " + path + " answered " + std::to_string(response.status));
        return nlohmann::json::parse(response.body);
    }

    std::string readLine(int timeoutMs) {
        std::string line;
        for (;;) {
            pollfd ready{stdout_, POLLIN, 0};
            if (::poll(&ready, 1, timeoutMs) <= 0)
                return line;
            char c;
            ssize_t n = ::read(stdout_, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || c == '\n')
                return line;
            line += c;
        }
    }

    // It stops at once only when no client holds a connection open, so it
    // gets a moment and is then killed.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int waited = 0; waited < 25 && ::waitpid(pid_, &status, WNOHANG) == 0; ++waited)
                ::usleep(20'000);
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (stdout_ >= 0) {
            ::close(stdout_);
            stdout_ = -1;
        }
    }

    std::unique_ptr<platform::HttpSession> session_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string api_;
};

} // namespace tavrelin::testing
