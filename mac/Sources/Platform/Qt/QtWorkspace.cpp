#include "Platform/Qt/QtWorkspace.h"

#include "Platform/Qt/SingleInstance.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace tavrelin::qt {

QtWorkspace::Opener QtWorkspace::desktopOpener() {
    return [](const std::string& url) { return QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); };
}

QtWorkspace::QtWorkspace(SingleInstance& instance, std::string remindersRoot, Opener opener, std::string bundleIdentifier)
    : instance_(instance), remindersRoot_(std::move(remindersRoot)), opener_(std::move(opener)),
      bundleIdentifier_(std::move(bundleIdentifier)) {}

std::string QtWorkspace::translate(const std::string& url) const {
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (parsed.scheme() == "x-apple.systempreferences") {
        if (!QString::fromStdString(url).contains("Privacy_Reminders"))
            return {};
        // A root that does not exist yet is created on the first access
        // request; until then its nearest existing parent is what to look at.
        QFileInfo folder(QString::fromStdString(remindersRoot_));
        while (!folder.exists() && !folder.isRoot() && folder.absoluteFilePath() != folder.absolutePath())
            folder = QFileInfo(folder.absolutePath());
        return QUrl::fromLocalFile(folder.absoluteFilePath()).toString().toStdString();
    }
    if (!parsed.isValid() || parsed.scheme().isEmpty())
        return {};
    return url;
}

bool QtWorkspace::openURL(const std::string& url) {
    std::string target = translate(url);
    if (target.empty())
        return false;
    return opener_(target);
}

std::vector<platform::RunningApplication> QtWorkspace::runningApplications(const std::string& bundleIdentifier) {
    if (bundleIdentifier != bundleIdentifier_)
        return {};
    std::vector<platform::RunningApplication> running{{.isCurrent = true}};
    if (instance_.anotherAnswers())
        running.push_back({.isCurrent = false});
    return running;
}

std::string QtWorkspace::openApplicationCommand() const {
    return "/bin/sh -c 'exec \"$1\"/Contents/MacOS/tavrelin-agent' tavrelin-open";
}

} // namespace tavrelin::qt
