#pragma once

#include "Platform/Processes.h"

#include <string>

namespace tavrelin::posix {

// Child processes started directly (no shell) with the agent's environment,
// less the variables the agent set for itself.
class PosixProcesses final : public platform::Processes {
public:
    // Sets a variable for the libraries the agent loads that no program it
    // starts inherits (unset where the system refuses it). Only before any
    // other thread runs: the environment has no lock.
    static void setForAgentOnly(const std::string& name, const std::string& value);

    // Standard input is /dev/null so a tool never competes for the terminal;
    // a child ended by a signal reports 128 + the signal number. The child
    // leads a process group of its own; at the deadline the whole group is
    // killed.
    platform::ProcessResult run(const std::string& program, const std::vector<std::string>& arguments,
                                std::chrono::seconds deadline) override;
    // In a session of its own, so it survives the agent; it inherits the
    // agent's standard streams and nothing else. A thread of the agent's
    // reaps it when it ends, so none is left a zombie.
    void launchDetached(const std::string& program, const std::vector<std::string>& arguments) override;
};

} // namespace tavrelin::posix
