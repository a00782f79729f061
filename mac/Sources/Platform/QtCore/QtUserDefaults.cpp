#include "Platform/QtCore/QtUserDefaults.h"

#include "Platform/Posix/UserFolders.h"

namespace tavrelin::qt {

QString QtUserDefaults::defaultPath() {
    return QString::fromStdString(posix::userFolder(posix::UserFolder::config) + "/Tavrelin/Tavrelin.ini");
}

QtUserDefaults::QtUserDefaults(const QString& path) : settings_(path, QSettings::IniFormat) {}

bool QtUserDefaults::boolForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    QVariant value = settings_.value(QString::fromStdString(key));
    // Only a stored true reads true; anything else reads false.
    return value.isValid() && value.toBool();
}

std::optional<std::string> QtUserDefaults::stringForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    QVariant value = settings_.value(QString::fromStdString(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

void QtUserDefaults::setBool(const std::string& key, bool value) {
    std::lock_guard lock(mutex_);
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
}

void QtUserDefaults::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    settings_.setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings_.sync();
}

void QtUserDefaults::reload() {
    std::lock_guard lock(mutex_);
    settings_.sync();
}

} // namespace tavrelin::qt
