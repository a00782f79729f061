#pragma once

// Sets and unsets environment variables for a test, and puts back what was
// there before when it ends, so no test sees what another one set.

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace tavrelin::testing {

class SavedEnvironment {
public:
    SavedEnvironment() = default;
    // One variable set (or, given none, unset) for the scope.
    SavedEnvironment(const std::string& name, const std::optional<std::string>& value) { put(name, value); }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_)
            apply(name, value);
    }

    void set(const std::string& name, const std::string& value) { put(name, value); }
    void unset(const std::string& name) { put(name, std::nullopt); }

private:
    void put(const std::string& name, const std::optional<std::string>& value) {
        // The first value seen is the one to restore.
        if (const char* old = std::getenv(name.c_str()); !saved_.count(name))
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        apply(name, value);
    }
    // A new time zone counts at once.
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
        if (name == "TZ")
            ::tzset();
    }

    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace tavrelin::testing
