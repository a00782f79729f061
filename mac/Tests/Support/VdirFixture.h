#pragma once

// Helpers for tests that build a vdir of task lists in a temporary folder.

#include "Support/TempFolder.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tavrelin::testing {

// Writes the file, creating the folders it needs.
inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    writeFile(path.string(), text);
}

// A list folder, with a displayname file when a title is given.
inline void makeList(const std::filesystem::path& root, const std::string& folder, const std::string& title = {}) {
    std::filesystem::create_directories(root / folder);
    if (!title.empty())
        writeText(root / folder / "displayname", title + "\n");
}

// Every file under the folder whose name ends with the suffix.
inline std::vector<std::filesystem::path> filesEndingWith(const std::filesystem::path& folder, const std::string& suffix) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        auto name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path());
    }
    return found;
}

} // namespace tavrelin::testing
