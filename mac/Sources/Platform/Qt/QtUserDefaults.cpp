#include "Platform/Qt/QtUserDefaults.h"

#include <QDir>

namespace tavrelin::qt {

QString QtUserDefaults::defaultPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are invalid by the XDG rules and are ignored.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::home().filePath(".config");
    return QDir(config).filePath("Tavrelin/Tavrelin.ini");
}

QtUserDefaults::QtUserDefaults(const QString& path) : settings_(path, QSettings::IniFormat) {}

bool QtUserDefaults::boolForKey(const std::string& key) const {
    QVariant value = settings_.value(QString::fromStdString(key));
    // Only a stored true reads true; anything else reads false.
    return value.isValid() && value.toBool();
}

void QtUserDefaults::setBool(const std::string& key, bool value) {
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
}

} // namespace tavrelin::qt
