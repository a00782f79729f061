#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace tavrelin::platform {

// Why a starting process cannot tell whether it is the only agent: a place
// for the lock or the socket that cannot be made, or a lock holder that
// neither answers nor ends. what() says which, for standard error.
class InstanceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One agent per user, as a starting process meets it: it takes the lock and
// becomes the agent, or reaches the agent that holds it. The requests block
// for a short while at most.
class AgentInstance {
public:
    virtual ~AgentInstance() = default;

    enum class Claim {
        holder,   // this process holds the lock and becomes the agent
        answered, // the agent holding the lock took the request
    };
    // Takes the lock, or has the holder answer `ask` (true when it did). A
    // holder that does not answer is on its way out, so this keeps trying
    // both until `patience` has passed, then throws InstanceError: never two
    // agents at once.
    virtual Claim claim(std::chrono::milliseconds patience, const std::function<bool()>& ask) = 0;

    // To the agent that holds the lock; each is false when none answers.
    virtual bool ping() const = 0;
    // Asks the agent to show itself: a start with nothing to hand over is a
    // person looking for it.
    virtual bool requestReopen() const = 0;
    // Hands a pairing link over, as the system hands a running application
    // its URL events.
    virtual bool handOver(const std::string& link) const = 0;
    virtual bool requestQuit() const = 0;
    // The agent's status line.
    virtual std::optional<std::string> requestStatus() const = 0;
};

} // namespace tavrelin::platform
