#include "TavrelinMac/CalDavCommand.h"

#include "Base/Text.h"
#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"
#include "Platform/Linux/Secret/LibsecretSecrets.h"
#include "Platform/QtCore/QtUserDefaults.h"
#include "Platform/QtCore/SingleInstance.h"
#include "Platform/Terminal/HiddenInput.h"
#include "TavrelinMac/CommandLineClient.h"
#include "TavrelinMac/Words.h"

#include <chrono>
#include <memory>
#include <unistd.h>

namespace tavrelin {

namespace {

// How long `--caldav` waits for its password.
constexpr std::chrono::minutes passwordPatience{5};

} // namespace

int configureCalDav(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    qt::QtUserDefaults defaults;
    auto tellAgent = [] {
        try {
            return qt::SingleInstance(qt::InstancePaths::forThisUser()).announcePlaceChange();
        } catch (const platform::InstanceError&) {
            return false;
        }
    };
    if (arguments.size() == 1) {
        eds::LinuxRemindersPlaces::storeAutomatic(defaults);
        out << words::account::commandOff(tellAgent()) << "\n";
        return CommandLineClient::succeeded;
    }
    curl::CurlHttp http;
    secret::LibsecretSecrets keyring;
    std::unique_ptr<caldav::CalDavRemindersDatabase> account;
    try {
        account = caldav::makeCalDavRemindersDatabase(arguments[0], arguments[1], http, keyring);
    } catch (const caldav::CalDavSetupError& error) {
        err << words::commandLine::problem(error.what()) << "\n";
        return CommandLineClient::misused;
    }
    terminal::HiddenRead password = terminal::readHiddenLine(
        STDIN_FILENO, STDERR_FILENO, words::account::passwordPrompt(account->user(), account->server()), passwordPatience);
    if (password.end != terminal::HiddenReadEnd::line) {
        err << words::commandLine::problem(words::account::noPassword()) << "\n";
        return CommandLineClient::failed;
    }
    const auto result = account->signIn(password.line);
    text::wipe(password.line);
    using Kind = caldav::CalDavRemindersDatabase::SignInResult::Kind;
    if (result.kind != Kind::signedIn) {
        err << words::commandLine::problem(result.kind == Kind::rejected
                                               ? words::account::commandRejected(account->server(), account->user())
                                               : words::account::commandFailed(account->server(), result.message))
            << "\n";
        return CommandLineClient::failed;
    }
    eds::LinuxRemindersPlaces::storeCalDav(defaults, {account->server(), account->user()});
    out << words::account::commandSignedIn(account->place(), tellAgent()) << "\n";
    return CommandLineClient::succeeded;
}

} // namespace tavrelin
