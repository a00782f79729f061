// The one rule for "is this copy installed", and the shell asking it for the
// move offer and the desktop entries alike (the update's side is in
// UpdatePipeline_test).

#include "Support/ShellHarness.h"
#include "TavrelinMac/InstalledCopy.h"

using namespace tavrelin;
using namespace tavrelin::fake;

TEST(InstalledCopy, DirectlyInAnApplicationsFolderReplacesItselfBelowOneIsInstalledAnythingElseIsNot) {
    const std::string home = "/home/user";
    const std::pair<std::string, CopyPlace> cases[] = {
        {"/Applications/Tavrelin.app", CopyPlace::inApplications},
        {"/Applications/Tavrelin.app/", CopyPlace::inApplications},
        {home + "/Applications/Tavrelin.app", CopyPlace::inApplications},
        {"/Applications/Utilities/Tavrelin.app", CopyPlace::belowApplications},
        {home + "/Applications/Tools/More/Tavrelin.app", CopyPlace::belowApplications},
        // Text, case included: a lower-case folder or a longer name is elsewhere.
        {"/applications/Tavrelin.app", CopyPlace::elsewhere},
        {"/ApplicationsOld/Tavrelin.app", CopyPlace::elsewhere},
        {home + "/ApplicationsOld/Tavrelin.app", CopyPlace::elsewhere},
        {"/home/other/Applications/Tavrelin.app", CopyPlace::elsewhere},
        {home + "/Downloads/Applications", CopyPlace::elsewhere},
        {"/Applications", CopyPlace::elsewhere},
        {"/Applications/", CopyPlace::elsewhere},
        {"/tmp/Tavrelin.app", CopyPlace::elsewhere},
    };
    for (const auto& [path, place] : cases) {
        EXPECT_EQ(copyPlace(path, home), place) << path;
        EXPECT_EQ(isInstalled(copyPlace(path, home)), place != CopyPlace::elsewhere) << path;
        EXPECT_EQ(replacesItself(copyPlace(path, home)), place == CopyPlace::inApplications) << path;
    }
    // Without a home folder only /Applications counts.
    EXPECT_EQ(copyPlace("/Applications/Tavrelin.app", ""), CopyPlace::inApplications);
    EXPECT_EQ(copyPlace("/home/user/Applications/Tavrelin.app", ""), CopyPlace::elsewhere);
}

TEST(InstalledCopy, TheMoveOfferAndTheDesktopEntriesFollowTheSameRule) {
    const std::string paths[] = {"/Applications/Tavrelin.app", "/home/user/Applications/Tools/Tavrelin.app",
                                 "/home/user/Downloads/Tavrelin.app", "/applications/Tavrelin.app"};
    for (const std::string& path : paths) {
        const bool installed = isInstalled(copyPlace(path, "/home/user"));
        Downloaded s;
        FakeLoginItems items;
        s.loginItems = &items;
        s.bundle.bundlePath = path;
        s.relaunch();
        s.launch(); // the empty script declines the offer
        s.mainLoop.drain();
        EXPECT_EQ(!s.dialogs.shown.empty() && s.dialogs.shown.front().title == words::move::title(), !installed) << path;
        EXPECT_EQ(items.login, installed ? std::optional(path) : std::nullopt) << path;
        EXPECT_EQ(items.handler, installed ? std::optional(path) : std::nullopt) << path;
    }
}
