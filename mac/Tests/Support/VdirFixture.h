#pragma once

// Helpers for tests that build a vdir of task lists, or programs, in a
// temporary folder.

#include "Support/TempFolder.h"

namespace tavrelin::testing {

// Writes the file, creating the folders it needs.
inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    writeFile(path.string(), text);
}

// An executable script, with the folders it needs; answers its path.
inline std::string writeProgram(const std::filesystem::path& path, const std::string& script = "#!/bin/sh\n") {
    writeText(path, script);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    return path.string();
}

// A list folder, with a displayname file when a title is given.
inline void makeList(const std::filesystem::path& root, const std::string& folder, const std::string& title = {}) {
    std::filesystem::create_directories(root / folder);
    if (!title.empty())
        writeText(root / folder / "displayname", title + "\n");
}

} // namespace tavrelin::testing
