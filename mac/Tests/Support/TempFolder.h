#pragma once

// What a test sets up outside itself and takes away again: temporary folders
// with the files and programs it builds in them, and environment variables.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace tavrelin::testing {

// A fresh folder under `under` ($TMPDIR or /tmp unless given), removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(const std::filesystem::path& under = std::filesystem::temp_directory_path())
        : path_((under / "tavrelin-test-XXXXXX").string()) {
        if (!::mkdtemp(path_.data()))
            throw std::runtime_error("mkdtemp failed");
    }
    // What the test started may still be ending in it (a bus removes its
    // socket as it goes): a removal that trips over that is tried again.
    ~TempFolder() {
        std::error_code failed;
        for (int tries = 0; std::filesystem::remove_all(path_, failed), failed && tries < 50; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes the file, creating the folders it needs.
inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    if (!(std::ofstream(path, std::ios::binary) << content))
        throw std::runtime_error("cannot write " + path.string());
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An executable script, with the folders it needs; answers its path.
inline std::string writeProgram(const std::filesystem::path& path, const std::string& script = "#!/bin/sh\n") {
    writeFile(path, script);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    return path.string();
}

// A task list folder, with a displayname file when a title is given.
inline void makeList(const std::filesystem::path& root, const std::string& folder, const std::string& title = {}) {
    std::filesystem::create_directories(root / folder);
    if (!title.empty())
        writeFile(root / folder / "displayname", title + "\n");
}

// Sets and unsets environment variables for a test, and puts back what was
// there before when it ends, so no test sees what another one set.
class SavedEnvironment {
public:
    SavedEnvironment() = default;
    // One variable set (or, given none, unset) for the scope.
    SavedEnvironment(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_)
            apply(name, value);
    }

    // Sets the variable, or unsets it given none.
    void set(const std::string& name, const std::optional<std::string>& value) {
        // The first value seen is the one to restore.
        if (const char* old = std::getenv(name.c_str()); !saved_.count(name))
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        apply(name, value);
    }

private:
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
