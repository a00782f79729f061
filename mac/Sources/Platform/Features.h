#pragma once

namespace tavrelin::platform {

// What this platform offers beyond the product's own menu. Each build has
// its values (Features/*.cpp), chosen with its words; the word table holds
// only words.
struct Features {
    // The desktop starts programs at login from entries the agent keeps, and
    // the menu switches that.
    bool startAtLoginInMenu = false;
    // The menu names where reminders go and offers the other places there are.
    bool remindersPlaceInMenu = false;
    // A list that items wait for can be made from the menu.
    bool createListInMenu = false;
    // A start while the agent runs makes the running agent show itself: its
    // menu, or where its icon is. Elsewhere the system brings an application
    // with no window nothing to show.
    bool showOnReopen = false;
    // Task lists on a server reached with an account (a CalDAV server): set
    // up and signed in to from the menu and the command line.
    bool serverAccounts = false;
};

extern const Features buildFeatures;

} // namespace tavrelin::platform
