#include "Support/FakePlatform.h"
#include "Support/UpdateFakes.h"
#include "TavrelinMac/UpdateTools.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::updatetools;

TEST(InstallScript, QuotesEveryPathForTheShell) {
    EXPECT_EQ(quoted("It's"), "'It'\\''s'");
    EXPECT_EQ(quoted("a b \"c\" $HOME `x` \\n"), "'a b \"c\" $HOME `x` \\n'");
    EXPECT_EQ(quoted(""), "''");
}

TEST(InstallScript, TextLineByLine) {
    const std::string script = installScript("/Applications/Tavrelin.app", "/Applications/Tavrelin.app.previous",
                                             "/c/u/unpacked/Tavrelin.app", "/c/u");
    EXPECT_EQ(script, "sleep 1\n"
                      "rm -rf '/Applications/Tavrelin.app.previous'\n"
                      "if mv '/Applications/Tavrelin.app' '/Applications/Tavrelin.app.previous' && "
                      "mv '/c/u/unpacked/Tavrelin.app' '/Applications/Tavrelin.app'; then\n"
                      "  rm -rf '/Applications/Tavrelin.app.previous'\n"
                      "else\n"
                      "  [ -d '/Applications/Tavrelin.app' ] || "
                      "mv '/Applications/Tavrelin.app.previous' '/Applications/Tavrelin.app'\n"
                      "fi\n"
                      "rm -rf '/c/u'\n"
                      "/usr/bin/setsid -f '/Applications/Tavrelin.app/Contents/MacOS/tavrelin-agent'");
}

TEST(Shell, OutputIsTrimmedUtf8OrEmpty) {
    const std::pair<std::string, std::string> cases[] = {
        {"  ok\n", "ok"},
        {"\n\tline one\nline two \r\n", "line one\nline two"},
        {"\xC2\xA0nbsp\xE2\x80\xA8", "nbsp"}, // Unicode spaces and line separators count too
        {"caf\xC3\xA9", "café"},
        {"bad \xC3\x28 byte", ""},
        {"\xED\xA0\x80", ""}, // an encoded surrogate is not UTF-8
        {" \n ", ""},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(trimmedOutput(bytes), text) << bytes;

    fake::FakeProcesses processes;
    processes.responder = [](const fake::FakeProcesses::Call& call) -> platform::ProcessResult {
        if (call.program == "/missing")
            throw platform::ProcessError("Could not start “/missing”: No such file or directory");
        return {call.arguments.at(0) == "fail" ? 1 : 0, "\xFF out\n"};
    };
    EXPECT_EQ(shell(processes, "/tool", {"ok"}), (ShellResult{true, ""}));
    EXPECT_EQ(shell(processes, "/tool", {"fail"}), (ShellResult{false, ""}));
    EXPECT_EQ(shell(processes, "/missing", {}), (ShellResult{false, "Could not start “/missing”: No such file or directory"}));
    EXPECT_FALSE(processes.calls.at(0).detached);
}
