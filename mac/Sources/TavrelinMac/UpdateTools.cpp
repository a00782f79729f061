#include "TavrelinMac/UpdateTools.h"

#include "Base/Text.h"

#include <exception>

namespace tavrelin::updatetools {

std::string trimmedOutput(std::string_view bytes) {
    if (!text::isValidUtf8(bytes))
        return {};
    return std::string(text::trimmed(bytes, text::Blanks::whiteSpace));
}

ShellResult shell(platform::Processes& processes, const platform::ToolCommand& command) {
    try {
        platform::ProcessResult result = processes.run(command.program, command.arguments, command.deadline);
        if (result.status == 0)
            return ToolSucceeded{trimmedOutput(result.output)};
        return ToolFailed{trimmedOutput(result.output)};
    } catch (const platform::ProcessTimedOut&) {
        throw;
    } catch (const std::exception& error) {
        return ToolFailed{error.what()};
    }
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string commandLine(const platform::ToolCommand& command) {
    const bool plain = !command.program.empty() &&
                       command.program.find_first_not_of(
                           "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-") == std::string::npos;
    std::string line = plain ? command.program : quoted(command.program);
    for (const std::string& argument : command.arguments) {
        line += ' ';
        line += quoted(argument);
    }
    return line;
}

// No half-made bundle ever stands at the running bundle's place: the new
// bundle arrives by rename from beside it, the previous place must be free
// before the running bundle moves there, and the rollback runs only when the
// running bundle has really moved, whatever then stands at its place. `moved`
// is set in the script itself, never taken from the environment. Nothing is
// started before the swap: the one start comes last, and it waits by itself
// for a quitting agent to let go of the single-instance lock.
std::string installScript(const InstallPaths& paths, const platform::ToolCommand& flush, const platform::ToolCommand& reopen) {
    const std::string c = quoted(paths.current), p = quoted(paths.previous), n = quoted(paths.incoming),
                      s = quoted(paths.staging);
    return "sleep 1\nrm -rf " + p + "\nmoved=no\nif [ ! -e " + p + " ] && mv " + c + " " + p + " && moved=yes && mv " + n +
           " " + c + "; then\n  rm -rf " + p + "\nelif [ \"$moved\" = yes ]; then\n  rm -rf " + c + "\n  mv " + p + " " + c +
           "\nfi\nrm -rf " + n + " " + s + "\n" + commandLine(flush) + "\n" + commandLine(reopen);
}

} // namespace tavrelin::updatetools
