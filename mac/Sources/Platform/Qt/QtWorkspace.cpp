#include "Platform/Qt/QtWorkspace.h"
#include "Platform/BundleLayout.h"

#include "Platform/Qt/SingleInstance.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace tavrelin::qt {

QtWorkspace::Opener QtWorkspace::desktopOpener() {
    return [](const std::string& url) { return QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); };
}

QtWorkspace::QtWorkspace(SingleInstance& instance, platform::Processes& processes, std::string home, std::string remindersRoot,
                         Opener opener, std::string bundleIdentifier)
    : instance_(instance), processes_(processes), home_(std::move(home)), remindersRoot_(std::move(remindersRoot)),
      opener_(std::move(opener)), bundleIdentifier_(std::move(bundleIdentifier)) {}

bool QtWorkspace::openURL(const std::string& url) {
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty())
        return false;
    return opener_(url);
}

void QtWorkspace::openRemindersPrivacySettings() {
    QFileInfo folder(QString::fromStdString(remindersRoot_));
    while (!folder.exists() && !folder.isRoot() && folder.absoluteFilePath() != folder.absolutePath())
        folder = QFileInfo(folder.absolutePath());
    opener_(QUrl::fromLocalFile(folder.absoluteFilePath()).toString().toStdString());
}

std::vector<platform::RunningApplication> QtWorkspace::runningApplications(const std::string& bundleIdentifier) {
    if (bundleIdentifier != bundleIdentifier_)
        return {};
    std::vector<platform::RunningApplication> running{{.isCurrent = true}};
    if (instance_.anotherAnswers())
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
