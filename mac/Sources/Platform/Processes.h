#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavrelin::platform {

class ProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A child that had not finished by its deadline. It was killed with
// everything it started, and reaped; what it printed is lost.
class ProcessTimedOut : public ProcessError {
public:
    ProcessTimedOut(std::string program, std::chrono::seconds deadline)
        : ProcessError("“" + program + "” did not finish within " + std::to_string(deadline.count()) + " s"),
          program_(std::move(program)), deadline_(deadline) {}
    const std::string& program() const { return program_; }
    std::chrono::seconds deadline() const { return deadline_; }

private:
    std::string program_;
    std::chrono::seconds deadline_;
};

struct ProcessResult {
    int status = 0;
    std::string output; // standard output and error, merged
};

class Processes {
public:
    virtual ~Processes() = default;
    // Runs the program (no shell) and waits until it has ended and closed its
    // output, for `deadline` at most. Throws ProcessTimedOut past it, and
    // ProcessError when it cannot be started.
    virtual ProcessResult run(const std::string& program, const std::vector<std::string>& arguments,
                              std::chrono::seconds deadline) = 0;
    // Starts the program and does not wait; it may outlive the agent. Throws
    // ProcessError when it cannot be started.
    virtual void launchDetached(const std::string& program, const std::vector<std::string>& arguments) = 0;
};

} // namespace tavrelin::platform
