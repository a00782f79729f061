#pragma once

#include <httplib.h>

namespace devrelay {

// An httplib server that sends each reply in one write (a body over 64 KiB
// follows its header at once, uncopied) and sleeps while a kept-alive
// connection is idle. The library's own connection loop writes a
// reply's header and body separately (two segments, so the client may wake
// twice for one reply) and looks at every idle connection about a hundred
// times a second, which would be counted against the idle agent it serves.
class QuietServer : public httplib::Server {
public:
    QuietServer();
    ~QuietServer() override;
    QuietServer(const QuietServer&) = delete;
    QuietServer& operator=(const QuietServer&) = delete;

    // Closes idle connections at once, then stops as httplib::Server::stop.
    void stop();

private:
    bool process_and_close_socket(socket_t sock) override;

    int stopEvent_; // readable once stop() is called
};

} // namespace devrelay
