// The places of a Linux computer and the rule that picks one: the desktop,
// the setting, and what Evolution Data Server answers (here a stand-in; the
// EDS tests run the same rule against the real services). The task-list
// folder is real, in a temporary folder, and the setting a real settings file.

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
            });
        places->onChosen = [this](Kind kind) { told.push_back(kind); };
        return places->settle();
    }
    void set(const std::string& value) {
        qt::QtUserDefaults(QString::fromStdString(home / "Tavrelin.ini")).setString("remindersBackend", value);
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
