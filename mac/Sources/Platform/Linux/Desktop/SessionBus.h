#pragma once

#include <optional>
#include <string>

namespace tavrelin::qt {

// Whether `name` on the session bus is owned now or can be started, asked
// through Qt D-Bus, which the agent has loaded anyway. Answers why not, or
// nothing when it is there. Blocks; any thread.
std::optional<std::string> sessionBusLacks(const std::string& name);

} // namespace tavrelin::qt
