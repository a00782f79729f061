#pragma once

// Sets and unsets environment variables for a test, and puts back what was
// there before when it ends.

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace tavrelin::testing {

class SavedEnvironment {
public:
    SavedEnvironment() = default;
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_)
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        if (saved_.count("TZ"))
            ::tzset();
    }

    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }

private:
    // The first value seen is the one to restore.
    void save(const std::string& name) {
        if (saved_.count(name))
            return;
        const char* value = std::getenv(name.c_str());
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }

    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace tavrelin::testing
