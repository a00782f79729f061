#pragma once

#include "Platform/Dialogs.h"
#include "Platform/Terminal/TerminalConsole.h"

namespace tavrelin::terminal {

// Alerts printed on standard output and answered on standard input:
//   [alert] warning|informational|critical
//   <title>
//   <text>
//   1. <first button>
//   2. …
//   [end]
//
// A form asks for its fields one at a time, each answered by the next line,
// then for a button as an alert does:
//   [form] warning|informational|critical
//   <title>
//   <text>
//   [field] <label> [<value>]     an empty line keeps the value shown
//   [field] <label> (hidden)      a terminal does not echo this one
//   1. <first button>
//   …
//   [end]
// The end of input answers the last button.
class TerminalDialogs final : public platform::Dialogs {
public:
    explicit TerminalDialogs(TerminalConsole& console) : console_(console) {}
    int runModal(const platform::Alert& alert) override;
    platform::FormAnswer runForm(const platform::Form& form) override;

    // The printed form of an alert.
    static std::string format(const platform::Alert& alert);

private:
    TerminalConsole& console_;
};

// Headless there is no desktop to open a URL with: the URL is printed as
// "[open] <url>" for whoever reads the output.
bool printOpenedURL(const std::string& url);

} // namespace tavrelin::terminal
