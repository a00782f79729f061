#pragma once

#include "Platform/Workspace.h"

#include <QSettings>
#include <QString>

#include <mutex>

namespace tavrelin::qt {

// Defaults in an INI file: <per-user config folder>/Tavrelin/Tavrelin.ini
// (~/.config/… unless $XDG_CONFIG_HOME says otherwise). Keys are stored exactly as given.
// Calls may come from several threads; they take turns.
class QtUserDefaults final : public platform::UserDefaults {
public:
    static QString defaultPath();

    explicit QtUserDefaults(const QString& path = defaultPath());

    bool boolForKey(const std::string& key) const override;
    std::optional<std::string> stringForKey(const std::string& key) const override;
    void setBool(const std::string& key, bool value) override;
    void setString(const std::string& key, const std::string& value) override;

    // Reads what another process wrote to the file since.
    void reload();

private:
    mutable std::mutex mutex_;
    mutable QSettings settings_;
};

} // namespace tavrelin::qt
