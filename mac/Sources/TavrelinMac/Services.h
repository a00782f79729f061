#pragma once

#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/Clock.h"
#include "Platform/Dialogs.h"
#include "Platform/Files.h"
#include "Platform/Http.h"
#include "Platform/MainLoop.h"
#include "Platform/Processes.h"
#include "Platform/RemindersDatabase.h"
#include "Platform/StatusItem.h"
#include "Platform/Workspace.h"

namespace tavrelin {

class AppInfo;

// Every platform service the logic uses, handed to each logic object at
// construction. `main` builds one from the real adapters, tests from fakes.
struct Services {
    platform::MainLoop& mainLoop;
    platform::Clock& clock;
    platform::Application& application;
    platform::Dialogs& dialogs;
    platform::StatusBar& statusBar;
    platform::Workspace& workspace;
    platform::UserDefaults& defaults;
    platform::Files& files;
    platform::Http& http;
    platform::Processes& processes;
    platform::Bundle& bundle;
    platform::Digest& digest;
    platform::RemindersDatabase& reminders;
    const AppInfo& appInfo;
};

} // namespace tavrelin
