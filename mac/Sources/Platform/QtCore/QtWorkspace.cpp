#include "Platform/QtCore/QtWorkspace.h"

#include "Base/Text.h"
#include "Platform/Linux/Xdg/DesktopEntry.h"
#include "Platform/Posix/UserFolders.h"
#include "Platform/QtCore/SingleInstance.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <cstdlib>

namespace tavrelin::qt {
namespace {

// The command line of a desktop entry's Exec key, without field codes; empty
// when it has none, is hidden, or is not an application.
std::vector<std::string> execOf(const QString& path) {
    QFile file(path);
    // Desktop entries are a few kilobytes; anything far larger is not one.
    if (file.size() > 256 * 1024 || !file.open(QIODevice::ReadOnly))
        return {};
    const std::string entry = file.readAll().toStdString();
    if (xdg::value(entry, "Hidden") == "true" || xdg::value(entry, "Type").value_or("Application") != "Application")
        return {};
    return xdg::execArguments(xdg::value(entry, "Exec").value_or(""));
}

} // namespace

QtWorkspace::QtWorkspace(const SingleInstance& instance, platform::Processes& processes, std::string home,
                         std::string remindersRoot, Opener opener, std::string bundleIdentifier)
    : instance_(instance), processes_(processes), home_(std::move(home)), remindersRoot_(std::move(remindersRoot)),
      opener_(std::move(opener)), bundleIdentifier_(std::move(bundleIdentifier)) {}

bool QtWorkspace::openURL(const std::string& url) {
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty())
        return false;
    return opener_(url);
}

const std::vector<QtWorkspace::TaskApplication>& QtWorkspace::taskApplications() {
    static const std::vector<TaskApplication> applications{
        {"org.gnome.Todo.desktop", {}},                   // GNOME To Do (also Endeavour)
        {"org.gnome.Evolution.desktop", {"-c", "tasks"}}, // straight to its tasks
        {"io.github.mrvladus.List.desktop", {}},          // Errands
        {"org.gnome.Calendar.desktop", {}},
        {"gnome-online-accounts-panel.desktop", {}}, // where EDS gets remote lists
    };
    return applications;
}

std::vector<std::string> QtWorkspace::applicationFolders() {
    std::vector<std::string> folders{posix::userFolder(posix::UserFolder::data) + "/applications"};
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    for (std::string_view folder : text::split(list, ':'))
        if (folder.front() == '/')
            folders.push_back(std::string(folder) + "/applications");
    return folders;
}

std::optional<std::vector<std::string>> QtWorkspace::taskApplicationCommand(const std::vector<std::string>& folders) {
    for (const TaskApplication& application : taskApplications()) {
        for (const std::string& folder : folders) {
            const QString path = QString::fromStdString(folder + "/" + application.desktopEntry);
            if (!QFileInfo(path).isFile())
                continue;
            // The first entry found decides, as for the desktop: a hidden
            // one in the user's folder hides the system's.
            std::vector<std::string> command = execOf(path);
            if (command.empty())
                break;
            // Started without a shell, so the program is looked up here.
            const QString program = QStandardPaths::findExecutable(QString::fromStdString(command.front()));
            if (program.isEmpty())
                break;
            command.front() = program.toStdString();
            command.insert(command.end(), application.extraArguments.begin(), application.extraArguments.end());
            return command;
        }
    }
    return std::nullopt;
}

void QtWorkspace::openRemindersPrivacySettings() {
    if (taskLists_.load() == TaskLists::evolutionDataServer) {
        if (auto command = taskApplicationCommand(applicationFolders())) {
            const std::string program = command->front();
            command->erase(command->begin());
            try {
                processes_.launchDetached(program, *command);
                return;
            } catch (const std::exception&) {
                // Not startable after all: the folder below is all there is.
            }
        }
    }
    QFileInfo folder(QString::fromStdString(remindersRoot_));
    while (!folder.exists() && !folder.isRoot() && folder.absoluteFilePath() != folder.absolutePath())
        folder = QFileInfo(folder.absolutePath());
    opener_(QUrl::fromLocalFile(folder.absoluteFilePath()).toString().toStdString());
}

std::vector<platform::RunningApplication> QtWorkspace::runningApplications(const std::string& bundleIdentifier) {
    if (bundleIdentifier != bundleIdentifier_)
        return {};
    std::vector<platform::RunningApplication> running{{.isCurrent = true}};
    if (!instance_.holdsLock())
        running.push_back({.isCurrent = false});
    return running;
}

std::string QtWorkspace::applicationsFolder() const {
    return home_ + "/Applications";
}

std::vector<std::string> QtWorkspace::relaunchCommand(const std::string& bundlePath) {
    // The path is the script's argument ($1), never part of its text, so no
    // character in it can end a quotation or start a command.
    return {"/bin/sh", "-c", "sleep 1; exec \"$1\"", "tavrelin-relaunch", bundle::inside(bundlePath, bundle::agent)};
}

void QtWorkspace::relaunch(const std::string& bundlePath) {
    const QString agent = QString::fromStdString(bundle::inside(bundlePath, bundle::agent));
    if (!QFileInfo(agent).isExecutable())
        throw platform::ProcessError(agent.toStdString() + " is not an executable program");
    auto command = relaunchCommand(bundlePath);
    const std::string program = command.front();
    command.erase(command.begin());
    processes_.launchDetached(program, command);
}

} // namespace tavrelin::qt
