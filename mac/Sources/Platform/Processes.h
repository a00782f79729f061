#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::platform {

class ProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ProcessResult {
    int status = 0;
    std::string output; // standard output and error, merged
};

class Processes {
public:
    virtual ~Processes() = default;
    // Runs the program (no shell) and waits; throws ProcessError when it
    // cannot be started.
    virtual ProcessResult run(const std::string& program, const std::vector<std::string>& arguments) = 0;
    // Starts the program and does not wait; it may outlive the agent.
    virtual void launchDetached(const std::string& program, const std::vector<std::string>& arguments) = 0;
};

} // namespace tavrelin::platform
