#include "Platform/Linux/Eds/LinuxRemindersPlaces.h"

#include "Platform/Linux/Eds/RemindersBackendChoice.h"

namespace tavrelin::eds {

using Kind = platform::RemindersPlace::Kind;

namespace {

constexpr const char* calDavSetting = "caldav";

} // namespace

LinuxRemindersPlaces::LinuxRemindersPlaces(platform::UserDefaults& defaults, platform::Files& files, Sources sources)
    : defaults_(defaults), files_(files), sources_(std::move(sources)) {}

std::string LinuxRemindersPlaces::settle() {
    const std::optional<std::string> missing = sources_.edsMissing();
    std::unique_lock lock(mutex_);
    edsMissing_ = missing;
    const std::string setting = defaults_.stringForKey(settingKey).value_or("");
    // An account set up is offered whatever is in use.
    const std::optional<platform::RemindersAccount> stored = storedAccount();
    std::string unusable;
    calDav_ = nullptr;
    if (stored && sources_.makeCalDav) {
        try {
            calDav_ = &calDav(*stored);
        } catch (const caldav::CalDavSetupError& error) {
            unusable = error.what();
        }
    }
    std::string before;
    if (setting == calDavSetting) {
        if (calDav_) {
            const std::string said = "CalDAV " + calDav_->server() + " as " + calDav_->user() + " (set to caldav)";
            use(lock, Kind::calDavServer);
            return said;
        }
        before = "set to caldav, but " +
                 (unusable.empty() ? std::string("no CalDAV account is set up")
                                   : "the CalDAV account cannot be used (" + unusable + ")") +
                 "; ";
    }
    // Asking Evolution Data Server may take seconds: not under the lock.
    lock.unlock();
    const RemindersBackendChoice choice = chooseRemindersBackend(setting == calDavSetting ? "auto" : setting,
                                                                 sources_.currentDesktop, [this]() -> const EdsTaskLists& {
                                                                     std::lock_guard making(mutex_);
                                                                     // Where nothing could answer for the registry, its
                                                                     // libraries stay unloaded.
                                                                     if (!eds_ && edsMissing_)
                                                                         eds_ = unreachableEdsTaskLists(*edsMissing_);
                                                                     return edsTaskLists();
                                                                 });
    lock.lock();
    if (choice.backend == RemindersBackend::eds) {
        use(lock, Kind::evolutionDataServer);
        return "Evolution Data Server (" + before + choice.reason + ")";
    }
    const std::string said = "vdir " + folder().root() + " (" + before + choice.reason + ")";
    use(lock, Kind::taskListFolder);
    return said;
}

std::vector<platform::RemindersPlace> LinuxRemindersPlaces::available() const {
    std::lock_guard lock(mutex_);
    std::vector<platform::RemindersPlace> places{placeOf(Kind::taskListFolder)};
    if (!edsMissing_ || chosen_ == Kind::evolutionDataServer)
        places.push_back(placeOf(Kind::evolutionDataServer));
    if (calDav_)
        places.push_back(placeOf(Kind::calDavServer));
    return places;
}

platform::RemindersPlace LinuxRemindersPlaces::chosen() const {
    std::lock_guard lock(mutex_);
    return placeOf(chosen_);
}

platform::RemindersPlace LinuxRemindersPlaces::placeOf(Kind kind) const {
    if (kind == Kind::evolutionDataServer)
        return {Kind::evolutionDataServer, {}};
    if (kind == Kind::calDavServer && calDav_)
        return calDav_->place();
    return {Kind::taskListFolder, sources_.folder};
}

platform::RemindersDatabase& LinuxRemindersPlaces::database() {
    std::lock_guard lock(mutex_);
    if (chosen_ == Kind::evolutionDataServer)
        return edsTaskLists();
    if (chosen_ == Kind::calDavServer && calDav_)
        return *calDav_;
    return folder();
}

void LinuxRemindersPlaces::choose(Kind kind) {
    std::unique_lock lock(mutex_);
    switch (kind) {
    case Kind::evolutionDataServer:
        defaults_.setString(settingKey, "eds");
        break;
    case Kind::taskListFolder:
        defaults_.setString(settingKey, "vdir");
        break;
    case Kind::calDavServer:
        if (!calDav_)
            return; // none set up
        defaults_.setString(settingKey, calDavSetting);
        break;
    case Kind::eventKit:
        return; // no such place here
    }
    use(lock, kind);
}

std::vector<Kind> LinuxRemindersPlaces::accountKinds() const {
    if (!sources_.makeCalDav)
        return {};
    return {Kind::calDavServer};
}

std::optional<platform::RemindersAccount> LinuxRemindersPlaces::account(Kind kind) const {
    if (kind != Kind::calDavServer)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (calDav_)
        return platform::RemindersAccount{calDav_->server(), calDav_->user()};
    return storedAccount(); // as stored, to be put right
}

platform::SignInAnswer LinuxRemindersPlaces::signIn(Kind kind, const platform::RemindersAccount& account,
                                                    const std::string& password) {
    using Answer = platform::SignInAnswer;
    if (kind != Kind::calDavServer || !sources_.makeCalDav)
        return {Answer::Kind::failed, "This computer has no such place for reminders."};
    caldav::CalDavRemindersDatabase* database = nullptr;
    {
        std::lock_guard lock(mutex_);
        try {
            database = &calDav(account);
        } catch (const caldav::CalDavSetupError& error) {
            return {Answer::Kind::failed, error.what()};
        }
    }
    // Databases are never dropped, and this one takes turns with a poll by itself.
    const auto result = database->signIn(password);
    switch (result.kind) {
    case caldav::CalDavRemindersDatabase::SignInResult::Kind::signedIn:
        return {Answer::Kind::signedIn, {}};
    case caldav::CalDavRemindersDatabase::SignInResult::Kind::rejected:
        return {Answer::Kind::rejected, {}};
    case caldav::CalDavRemindersDatabase::SignInResult::Kind::failed:
        break;
    }
    return {Answer::Kind::failed, result.message};
}

void LinuxRemindersPlaces::useAccount(Kind kind, const platform::RemindersAccount& account) {
    if (kind != Kind::calDavServer || !sources_.makeCalDav)
        return;
    std::unique_lock lock(mutex_);
    try {
        calDav_ = &calDav(account);
    } catch (const caldav::CalDavSetupError&) {
        return; // signIn() said so already
    }
    storeCalDav(defaults_, {calDav_->server(), calDav_->user()});
    use(lock, Kind::calDavServer);
}

void LinuxRemindersPlaces::storeCalDav(platform::UserDefaults& defaults, const platform::RemindersAccount& account) {
    defaults.setString(serverKey, account.server);
    defaults.setString(userKey, account.user);
    defaults.setString(settingKey, calDavSetting);
}

void LinuxRemindersPlaces::storeAutomatic(platform::UserDefaults& defaults) {
    defaults.setString(settingKey, "auto");
}

void LinuxRemindersPlaces::use(std::unique_lock<std::mutex>& lock, Kind kind) {
    chosen_ = kind;
    // Made now, so answering it later never loads anything.
    if (kind == Kind::evolutionDataServer)
        edsTaskLists();
    else if (kind == Kind::taskListFolder)
        folder();
    lock.unlock();
    if (onChosen)
        onChosen(kind);
}

std::optional<platform::RemindersAccount> LinuxRemindersPlaces::storedAccount() const {
    auto server = defaults_.stringForKey(serverKey);
    auto user = defaults_.stringForKey(userKey);
    if (!server || !user || server->empty() || user->empty())
        return std::nullopt;
    return platform::RemindersAccount{*server, *user};
}

caldav::CalDavRemindersDatabase& LinuxRemindersPlaces::calDav(const platform::RemindersAccount& account) {
    const std::string server = caldav::CalDavRemindersDatabase::serverUrl(account.server).text();
    for (const auto& made : calDavs_)
        if (made->server() == server && made->user() == account.user)
            return *made;
    calDavs_.push_back(sources_.makeCalDav(account.server, account.user));
    return *calDavs_.back();
}

EdsTaskLists& LinuxRemindersPlaces::edsTaskLists() {
    if (!eds_)
        eds_ = sources_.loadEds();
    return *eds_;
}

vdir::VdirRemindersDatabase& LinuxRemindersPlaces::folder() {
    if (!folder_)
        folder_ = std::make_unique<vdir::VdirRemindersDatabase>(sources_.folder, files_);
    return *folder_;
}

} // namespace tavrelin::eds
