// The places of a Linux computer and the rule that picks one: the desktop,
// the setting, and what Evolution Data Server answers (here a stand-in; the
// EDS tests run the same rule against the real services); and a CalDAV
// account, signed in to and kept (the server here an HTTP layer that answers
// as one, the keyring in memory; the CalDAV tests run real ones). The
// task-list folder is real, in a temporary folder, and the setting a real
// settings file.

#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/QtCore/QtUserDefaults.h"
#include "Support/FakePlatform.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"

#include <gmock/gmock.h>

using namespace tavrelin;
using Kind = platform::RemindersPlace::Kind;

namespace {

// Evolution Data Server as a probe answers it; nothing is filed here.
class StandInEds final : public eds::EdsTaskLists {
public:
    explicit StandInEds(eds::EdsProbe answer) : answer_(std::move(answer)) {}
    eds::EdsProbe probe() const override { return answer_; }
    platform::RemindersPlace place() const override { return {Kind::evolutionDataServer, {}}; }
    platform::RemindersAuthorization authorizationStatus() const override {
        return platform::RemindersAuthorization::fullAccess;
    }
    platform::RemindersAccessAnswer requestFullAccess() override { return platform::RemindersAccessAnswer::granted; }
    std::vector<platform::ReminderList> lists() const override { return {}; }
    std::string save(const platform::NewReminder&) override { throw platform::RemindersError("stand-in"); }
    std::optional<platform::SavedReminder> reminder(const std::string&) const override { return std::nullopt; }
    platform::ReminderList createList(const std::string&) override { throw platform::RemindersError("stand-in"); }

private:
    eds::EdsProbe answer_;
};

enum class Eds { answers, noLists, notOnTheBus };

struct Computer {
    tavrelin::testing::TempFolder home;
    posix::PosixFiles files;
    std::unique_ptr<qt::QtUserDefaults> defaults;
    int loads = 0; // of Evolution Data Server's module
    std::vector<Kind> told;
    // The CalDAV server and the keyring; no CalDAV place without `withCalDav`.
    fake::FakeHttp http;
    fake::FakeSecrets secrets;
    bool withCalDav = true;
    std::unique_ptr<eds::LinuxRemindersPlaces> places;

    Computer() { tavrelin::testing::application<QCoreApplication>(); }

    // A launch: the settings file read afresh, the places settled.
    std::string launch(const std::string& desktop, Eds eds) {
        places.reset();
        defaults = std::make_unique<qt::QtUserDefaults>(QString::fromStdString(home / "Tavrelin.ini"));
        places = std::make_unique<eds::LinuxRemindersPlaces>(
            *defaults, files,
            eds::LinuxRemindersPlaces::Sources{
                .folder = home / "calendars",
                .currentDesktop = desktop,
                .loadEds =
                    [this, eds] {
                        ++loads;
                        return std::make_unique<StandInEds>(
                            eds::EdsProbe{eds::EdsProbe::Kind::answers, {}, eds == Eds::noLists ? 0u : 2u});
                    },
                .edsMissing = [eds]() -> std::optional<std::string> {
                    if (eds == Eds::notOnTheBus)
                        return "nothing on the session bus owns or starts the registry";
                    return std::nullopt;
                },
                .makeCalDav = withCalDav ? eds::LinuxRemindersPlaces::Sources::CalDavMaker(
                                               [this](const std::string& server, const std::string& user) {
                                                   return caldav::makeCalDavRemindersDatabase(server, user, http, secrets);
                                               })
                                         : nullptr,
            });
        places->onChosen = [this](Kind kind) { told.push_back(kind); };
        return places->settle();
    }
    void set(const std::string& value, const std::string& key = "remindersBackend") {
        qt::QtUserDefaults(QString::fromStdString(home / "Tavrelin.ini")).setString(key, value);
    }
    std::string settings() const {
        return std::filesystem::exists(home / "Tavrelin.ini") ? tavrelin::testing::readFile(home / "Tavrelin.ini") : "";
    }
};

} // namespace

// Auto follows the desktop: Evolution Data Server only where the desktop's
// own task apps keep tasks there and it answers with a list; a desktop that
// does not (with EDS merely installed) never loads its libraries. A setting
// of eds or vdir holds on every desktop.
TEST(RemindersPlaces, AutoTakesEvolutionDataServerOnlyOnADesktopThatKeepsTasksThere) {
    struct Row {
        std::string desktop;
        Eds eds;
        std::string setting;
        Kind expected;
        int loads;
    };
    const Row rows[] = {
        {"GNOME", Eds::answers, "", Kind::evolutionDataServer, 1},
        {"Budgie:gnome", Eds::answers, "auto", Kind::evolutionDataServer, 1},
        {"Pantheon", Eds::answers, "", Kind::evolutionDataServer, 1},
        {"GNOME", Eds::noLists, "", Kind::taskListFolder, 1},
        {"GNOME", Eds::notOnTheBus, "", Kind::taskListFolder, 0},
        {"XFCE", Eds::answers, "", Kind::taskListFolder, 0},
        {"KDE", Eds::answers, "", Kind::taskListFolder, 0},
        {"GNOMEish", Eds::answers, "", Kind::taskListFolder, 0},
        {"", Eds::answers, "", Kind::taskListFolder, 0},
        {":XFCE:", Eds::answers, "", Kind::taskListFolder, 0},
        {"XFCE", Eds::answers, "something", Kind::taskListFolder, 0},
        {"XFCE", Eds::notOnTheBus, "eds", Kind::evolutionDataServer, 1},
        {"GNOME", Eds::answers, "vdir", Kind::taskListFolder, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("“" + row.desktop + "”, setting “" + row.setting + "”, EDS " + std::to_string(int(row.eds)));
        Computer computer;
        if (!row.setting.empty())
            computer.set(row.setting);
        const std::string said = computer.launch(row.desktop, row.eds);
        EXPECT_EQ(computer.places->chosen().kind, row.expected);
        EXPECT_EQ(computer.places->database().place(), computer.places->chosen());
        EXPECT_EQ(computer.told, std::vector{row.expected});
        EXPECT_EQ(computer.loads, row.loads);
        EXPECT_THAT(said, ::testing::StartsWith(row.expected == Kind::evolutionDataServer
                                                    ? "Evolution Data Server ("
                                                    : "vdir " + computer.home / "calendars" + " ("));
        // What was chosen is not written down: auto decides again next time.
        EXPECT_EQ(computer.defaults->stringForKey("remindersBackend"),
                  row.setting.empty() ? std::nullopt : std::optional(row.setting));
        // Evolution Data Server is offered wherever its registry may answer.
        std::vector<platform::RemindersPlace> offered{{Kind::taskListFolder, computer.home / "calendars"}};
        if (row.eds != Eds::notOnTheBus || row.expected == Kind::evolutionDataServer)
            offered.push_back({Kind::evolutionDataServer, {}});
        EXPECT_EQ(computer.places->available(), offered);
    }
}

// A place chosen in the menu is written to the settings file and holds at
// the next launch, whatever auto would say there; the database answered
// before the switch stays usable.
TEST(RemindersPlaces, AChosenPlaceIsRememberedAcrossLaunches) {
    Computer computer;
    computer.launch("XFCE", Eds::answers);
    platform::RemindersDatabase& folder = computer.places->database();
    computer.places->choose(Kind::evolutionDataServer);
    EXPECT_EQ(computer.places->database().place().kind, Kind::evolutionDataServer);
    EXPECT_EQ(folder.place().kind, Kind::taskListFolder);
    EXPECT_EQ(computer.told, (std::vector{Kind::taskListFolder, Kind::evolutionDataServer}));
    EXPECT_THAT(tavrelin::testing::readFile(computer.home / "Tavrelin.ini"), ::testing::HasSubstr("remindersBackend=eds"));

    EXPECT_THAT(computer.launch("XFCE", Eds::answers), ::testing::StartsWith("Evolution Data Server (set to eds)"));
    EXPECT_EQ(computer.places->chosen().kind, Kind::evolutionDataServer);
    computer.places->choose(Kind::taskListFolder);
    EXPECT_EQ(computer.launch("GNOME", Eds::answers), "vdir " + computer.home / "calendars" + " (set to vdir)");
    EXPECT_EQ(computer.places->chosen().kind, Kind::taskListFolder);
}

namespace {

const platform::RemindersPlace calDavPlace{Kind::calDavServer, "https://dav.example.com/", "alice"};

// A CalDAV server without principals whose well-known address names alice's
// calendar home, for her password "right" only.
void serveCalDav(fake::FakeHttp& http) {
    http.responder = [](const platform::HttpRequest& request) -> platform::HttpResponse {
        const bool right =
            std::ranges::count(request.headers,
                               std::pair<std::string, std::string>{"Authorization", "Basic YWxpY2U6cmlnaHQ="}) > 0;
        if (!right)
            return {401, "Password required"};
        return {207, R"(<?xml version="1.0"?><d:multistatus xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:caldav">)"
                     R"(<d:response><d:href>/.well-known/caldav</d:href><d:propstat><d:prop><c:calendar-home-set>)"
                     R"(<d:href>/alice/</d:href></c:calendar-home-set></d:prop><d:status>HTTP/1.1 200 OK</d:status>)"
                     R"(</d:propstat></d:response></d:multistatus>)"};
    };
}

} // namespace

// A CalDAV account is a place once set up, and in use when the setting says
// caldav; set to caldav without one it can use, the rule decides as auto
// does and the log says why. Without a way to make one, there is none.
TEST(RemindersPlaces, ACalDavAccountIsOfferedOnceSetUpAndInUseWhenTheSettingSaysSo) {
    Computer computer;
    computer.set("caldav");
    EXPECT_THAT(computer.launch("XFCE", Eds::notOnTheBus),
                ::testing::StartsWith("vdir " + computer.home / "calendars" +
                                      " (set to caldav, but no CalDAV account is set up; auto: the desktop XFCE"));
    EXPECT_EQ(computer.places->available().size(), 1u);
    EXPECT_EQ(computer.places->accountKinds(), std::vector{Kind::calDavServer});
    EXPECT_EQ(computer.places->account(Kind::calDavServer), std::nullopt);

    computer.set("http://dav.example.com", "caldavServer"); // plain http, and not this computer
    computer.set("alice", "caldavUser");
    EXPECT_THAT(computer.launch("XFCE", Eds::notOnTheBus),
                ::testing::HasSubstr("(set to caldav, but the CalDAV account cannot be used (Plain http is only"));
    EXPECT_EQ(computer.places->chosen().kind, Kind::taskListFolder);
    // Offered as stored, to be put right.
    EXPECT_EQ(computer.places->account(Kind::calDavServer), (platform::RemindersAccount{"http://dav.example.com", "alice"}));

    computer.set("dav.example.com", "caldavServer");
    EXPECT_EQ(computer.launch("XFCE", Eds::notOnTheBus), "CalDAV https://dav.example.com/ as alice (set to caldav)");
    EXPECT_EQ(computer.places->chosen(), calDavPlace);
    EXPECT_EQ(computer.places->database().place(), calDavPlace);
    EXPECT_EQ(computer.told.back(), Kind::calDavServer);
    EXPECT_EQ(computer.places->available(),
              (std::vector<platform::RemindersPlace>{{Kind::taskListFolder, computer.home / "calendars"}, calDavPlace}));
    EXPECT_EQ(computer.places->account(Kind::calDavServer), (platform::RemindersAccount{"https://dav.example.com/", "alice"}));
    EXPECT_TRUE(computer.http.requests.empty()) << "settling asks no server";

    computer.set("vdir");
    computer.launch("XFCE", Eds::notOnTheBus);
    EXPECT_EQ(computer.places->chosen().kind, Kind::taskListFolder);
    EXPECT_EQ(computer.places->available().back(), calDavPlace); // set up, not in use

    computer.withCalDav = false;
    computer.set("caldav");
    EXPECT_THAT(computer.launch("XFCE", Eds::notOnTheBus), ::testing::HasSubstr("(set to caldav, but no CalDAV account"));
    EXPECT_TRUE(computer.places->accountKinds().empty());
    EXPECT_EQ(computer.places->available().size(), 1u);
}

// A password the server refuses, or an address it cannot use, changes
// nothing. One it takes is in the keyring, never in the settings; putting
// the account in use writes the account and the choice, and it holds at the
// next launch; the database that was in use stays usable.
TEST(RemindersPlaces, ASignInChangesNothingUntilTheServerTakesThePasswordAndThenOnlyTheKeyring) {
    Computer computer;
    serveCalDav(computer.http);
    computer.launch("XFCE", Eds::notOnTheBus);
    platform::RemindersDatabase& folder = computer.places->database();
    const std::string before = computer.settings();
    using Answer = platform::SignInAnswer::Kind;

    EXPECT_EQ(computer.places->signIn(Kind::calDavServer, {"dav.example.com", "alice"}, "wrong").kind, Answer::rejected);
    const auto unusable = computer.places->signIn(Kind::calDavServer, {"http://dav.example.com", "alice"}, "right");
    EXPECT_EQ(unusable.kind, Answer::failed);
    EXPECT_THAT(unusable.message, ::testing::StartsWith("Plain http is only for a server on this computer"));
    EXPECT_TRUE(computer.secrets.items.empty());

    EXPECT_EQ(computer.places->signIn(Kind::calDavServer, {"dav.example.com", "alice"}, "right").kind, Answer::signedIn);
    ASSERT_EQ(computer.secrets.items.size(), 1u);
    EXPECT_EQ(computer.secrets.items[0].first, (platform::SecretKey{"https://dav.example.com/", "alice"}));
    EXPECT_EQ(computer.secrets.items[0].second, "right");
    EXPECT_EQ(computer.settings(), before);
    EXPECT_EQ(computer.places->chosen().kind, Kind::taskListFolder);
    EXPECT_EQ(computer.told, std::vector{Kind::taskListFolder});

    computer.places->useAccount(Kind::calDavServer, {"dav.example.com", "alice"});
    EXPECT_EQ(computer.places->chosen(), calDavPlace);
    EXPECT_EQ(computer.told.back(), Kind::calDavServer);
    // The database that was signed in to: no need to ask the server again.
    const std::size_t asked = computer.http.requests.size();
    EXPECT_EQ(computer.places->database().authorizationStatus(), platform::RemindersAuthorization::fullAccess);
    EXPECT_EQ(computer.http.requests.size(), asked);
    EXPECT_EQ(folder.place().kind, Kind::taskListFolder);
    const std::string after = computer.settings();
    for (const char* line : {"caldavServer=https://dav.example.com/", "caldavUser=alice", "remindersBackend=caldav"})
        EXPECT_THAT(after, ::testing::HasSubstr(line));
    EXPECT_EQ(after.find("right"), std::string::npos);

    EXPECT_EQ(computer.launch("XFCE", Eds::notOnTheBus), "CalDAV https://dav.example.com/ as alice (set to caldav)");
    computer.places->choose(Kind::taskListFolder);
    EXPECT_EQ(computer.places->chosen().kind, Kind::taskListFolder);
    computer.places->choose(Kind::calDavServer);
    EXPECT_EQ(computer.places->chosen(), calDavPlace);
    EXPECT_THAT(computer.settings(), ::testing::HasSubstr("remindersBackend=caldav"));
}
