#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tavrelin {

// `--caldav <server address> <user>`: signs in with the password read from
// standard input (never the command line) and, once the server took it,
// makes that account's task lists the place for reminders. `--caldav off`
// (`arguments` holding "off" alone): back to the automatic choice. Whether or
// not an agent runs; a running one follows at once. Answers the exit status.
// Wiring of the Linux build: it meets the CalDAV database, the keyring and
// the terminal directly.
int configureCalDav(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace tavrelin
