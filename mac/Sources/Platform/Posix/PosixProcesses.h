#pragma once

#include "Platform/Processes.h"

namespace tavrelin::posix {

// Child processes started directly (no shell) with the agent's environment.
class PosixProcesses final : public platform::Processes {
public:
    // Standard input is /dev/null so a tool never competes for the terminal;
    // a child ended by a signal reports 128 + the signal number.
    platform::ProcessResult run(const std::string& program, const std::vector<std::string>& arguments) override;
    // In a session of its own and orphaned at once, so it survives the agent
    // and is reaped by the system rather than left as a zombie; it inherits
    // the agent's standard streams.
    void launchDetached(const std::string& program, const std::vector<std::string>& arguments) override;
};

} // namespace tavrelin::posix
