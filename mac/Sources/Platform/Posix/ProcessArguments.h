#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrelin::posix {

// The process's arguments, kept where other users cannot read them. Anyone on
// the machine can read a process's command line (/proc/<pid>/cmdline, ps),
// and a pairing link given there holds the relay token. So every argument
// that is not an option (a link, an option's value) is copied and then
// overwritten with zeros where the system shows it. Made first thing in
// main, before any thread could read the arguments meanwhile; argv() then
// serves the copies, also to the front end's own copy.
class ProcessArguments {
public:
    ProcessArguments(int argc, char** argv);
    ProcessArguments(const ProcessArguments&) = delete;
    ProcessArguments& operator=(const ProcessArguments&) = delete;

    int argc() const { return static_cast<int>(copies_.size()); }
    // The copies, null-terminated; valid as long as this object.
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> copies_;
    std::vector<char*> pointers_;
};

// The first line of `path` (a file only its owner can read, or a descriptor
// such as /dev/fd/3), without its line end: how a link reaches the agent
// without passing through its command line. None when it cannot be read or
// is empty.
std::optional<std::string> firstLine(const std::string& path);

} // namespace tavrelin::posix
