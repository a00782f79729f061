// dev-relay: a relay backend for development, demos and tests.
//   dev-relay [--port N] [--host 127.0.0.1|localhost] [--tokens-from FILE]
// Prints one line on standard output, the pairing link; chatter goes to stderr.
// Tokens come from a file (or standard input), never from the command line,
// which every user of the machine can read.

#include "QuietServer.h"
#include "Relay.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "dev-relay: " << problem << "\n"
              << "usage: dev-relay [--port N] [--host 127.0.0.1|localhost] [--tokens-from FILE]\n";
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string host = "127.0.0.1";
    std::vector<std::string> tokens;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(option + " needs a value");
            return argv[++i];
        };
        if (option == "--port") {
            const std::string text = value();
            char* end = nullptr;
            const long number = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || number < 0 || number > 65535)
                usage("--port takes a number from 0 to 65535");
            port = static_cast<int>(number);
        } else if (option == "--host") {
            host = value();
            // Development only: it never listens beyond this machine.
            if (host != "127.0.0.1" && host != "localhost")
                usage("--host must be 127.0.0.1 or localhost");
        } else if (option == "--tokens-from") {
            const std::string path = value();
            // One token a line, up to an empty line or the end: a pipe may
            // stay open after its tokens.
            std::ifstream file(path);
            if (!file)
                usage("cannot read " + path);
            for (std::string token; std::getline(file, token) && !token.empty();) {
                if (token.rfind("rk_", 0) != 0 || token.size() < 12)
                    std::cerr << "dev-relay: warning: a token should begin with rk_ and have at least 12 characters\n";
                tokens.push_back(token);
            }
        } else if (option == "--help" || option == "-h") {
            usage("a relay backend for development");
        } else {
            usage("unknown option " + option);
        }
    }
    if (tokens.empty())
        tokens.push_back(devrelay::generateToken());

    // Signals are taken by one thread that stops the server, so the worker
    // threads never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    devrelay::Relay relay(tokens);
    devrelay::QuietServer server;
    relay.install(server);

    const std::string bindHost = host == "localhost" ? "127.0.0.1" : host;
    if (port == 0) {
        port = server.bind_to_any_port(bindHost);
        if (port < 0)
            usage("could not listen on " + bindHost);
    } else if (!server.bind_to_port(bindHost, port)) {
        usage("could not listen on " + bindHost + ":" + std::to_string(port));
    }

    std::thread stopper([&server, signals] {
        int received = 0;
        sigwait(&signals, &received);
        std::cerr << "dev-relay: stopping\n";
        server.stop();
    });
    stopper.detach();

    const std::string api = "http://" + host + ":" + std::to_string(port);
    std::cout << "tavrelin://pair?token=" << tokens.front() << "&api=" << api << std::endl;
    std::cerr << "dev-relay: listening on " << api << " with " << tokens.size() << " token(s)\n";
    server.listen_after_bind();
    return 0;
}
