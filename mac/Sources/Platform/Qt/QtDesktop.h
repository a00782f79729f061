#pragma once

#include "Platform/Processes.h"

#include <QApplication>

#include <functional>
#include <string>

namespace tavrelin::qt {

// What only the desktop front end has: windows, the desktop's URL handlers and
// its notion of which application a window belongs to. Main thread only.

// Names the application for the desktop and keeps it running when its last
// dialog closes, as a tray application must.
void prepareDesktopApplication(QApplication& app);

// Raises the visible windows (dialogs) above other applications'.
void activateWindows();

// Hands a URL to the desktop's opener (xdg-open), started as any other child
// of the agent; answers whether it started.
bool openWithDesktop(platform::Processes& processes, const std::string& url);

} // namespace tavrelin::qt
