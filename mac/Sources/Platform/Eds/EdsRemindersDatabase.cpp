#include "Platform/Eds/EdsRemindersDatabase.h"

#include "Platform/Ical/Todo.h"
#include "Platform/Posix/DeliveryUid.h"

#include <libecal/libecal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <tuple>
#include <utility>

namespace tavrelin::eds {

using platform::RemindersAuthorization;
using platform::RemindersError;

namespace {

// Long enough for a remote list to come online, short enough that a dead
// server does not hold up a poll for long; each list is opened once.
constexpr guint32 connectSeconds = 5;
// The bus name the source registry of libedataserver 3.x owns.
constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";
constexpr int probeMilliseconds = 10'000;
struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using Ref = std::unique_ptr<T, Unref>;

// Owns a GError and answers its text.
class Error {
public:
    Error() = default;
    ~Error() { g_clear_error(&error_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    GError** out() {
        g_clear_error(&error_);
        return &error_;
    }
    GError* get() const { return error_; }
    std::string text() const { return error_ && error_->message ? error_->message : "unknown error"; }

private:
    GError* error_ = nullptr;
};

// Makes the private context the thread default for the calls in between, so
// the objects libecal creates deliver their callbacks there; whatever they
// queued is run here, on the calling thread, before and after.
class ContextScope {
public:
    explicit ContextScope(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
        drain();
    }
    ~ContextScope() {
        drain();
        g_main_context_pop_thread_default(context_);
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

private:
    void drain() {
        while (g_main_context_iteration(context_, FALSE)) {
        }
    }
    GMainContext* context_;
};

std::string takeString(gchar* text) {
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

// The reminder as libecal takes it.
Ref<ICalComponent> todoComponent(const platform::NewReminder& reminder, const std::string& uid) {
    auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ical::Component todo = ical::newTodo(reminder, uid, platform::Date::fromUnix(now));
    Ref<ICalComponent> component{i_cal_component_new_from_string(ical::text(todo.get(), reminder.title).c_str())};
    if (!component)
        throw RemindersError("could not encode the reminder “" + reminder.title + "”");
    return component;
}

} // namespace

// The connection to the registry and the opened lists. Touched only with the
// database's mutex held and its context pushed.
struct EdsRemindersDatabase::Session {
    GMainContext* context = g_main_context_new();
    Ref<GDBusConnection> bus;
    Ref<ESourceRegistry> registry;
    std::map<std::string, Ref<ECalClient>> clients; // by source UID
    bool noBus = false;
    std::string problem;

    ~Session() {
        {
            ContextScope scope(context);
            clients.clear();
            registry.reset();
            bus.reset();
        }
        g_main_context_unref(context);
    }

    // The registry, connected on first use and again after the bus went away;
    // null when it does not answer (`problem` says why).
    ESourceRegistry* connect() {
        if (bus && g_dbus_connection_is_closed(bus.get())) {
            clients.clear();
            registry.reset();
            bus.reset();
        }
        if (registry)
            return registry.get();
        Error error;
        if (!bus) {
            GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
            if (!connection) {
                noBus = true;
                problem = "no session bus: " + error.text();
                return nullptr;
            }
            // The bus is the whole process's; losing it must not end the agent.
            g_dbus_connection_set_exit_on_close(connection, FALSE);
            bus.reset(connection);
        }
        noBus = false;
        // The registry client comes up even when nothing answers on the bus,
        // so the registry is asked first; on a desktop this also starts it.
        GVariant* pong = g_dbus_connection_call_sync(bus.get(), registryName, "/", "org.freedesktop.DBus.Peer", "Ping", nullptr,
                                                     nullptr, G_DBUS_CALL_FLAGS_NONE, probeMilliseconds, nullptr, error.out());
        if (!pong) {
            problem = "the Evolution Data Server registry does not answer: " + error.text();
            return nullptr;
        }
        g_variant_unref(pong);
        registry.reset(e_source_registry_new_sync(nullptr, error.out()));
        problem = registry ? "" : "the Evolution Data Server registry does not answer: " + error.text();
        return registry.get();
    }

    std::vector<platform::ReminderList> lists() {
        std::vector<platform::ReminderList> result;
        ESourceRegistry* sources = connect();
        if (!sources)
            return result;
        GList* enabled = e_source_registry_list_enabled(sources, E_SOURCE_EXTENSION_TASK_LIST);
        for (GList* item = enabled; item; item = item->next) {
            ESource* source = E_SOURCE(item->data);
            const char* name = e_source_get_display_name(source);
            result.push_back({e_source_get_uid(source), name ? name : ""});
        }
        g_list_free_full(enabled, g_object_unref);
        std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
            return std::tie(a.title, a.identifier) < std::tie(b.title, b.identifier);
        });
        return result;
    }

    // The opened list with that source UID; throws when it is not an enabled
    // task list or does not open.
    ECalClient* open(const std::string& uid, std::string& title) {
        ESourceRegistry* sources = connect();
        if (!sources)
            throw RemindersError(problem);
        Ref<ESource> source{e_source_registry_ref_source(sources, uid.c_str())};
        if (!source || !e_source_has_extension(source.get(), E_SOURCE_EXTENSION_TASK_LIST) ||
            !e_source_registry_check_enabled(sources, source.get()))
            throw RemindersError("there is no task list “" + uid + "”");
        const char* name = e_source_get_display_name(source.get());
        title = name ? name : uid;
        if (auto found = clients.find(uid); found != clients.end())
            return found->second.get();
        Error error;
        // The synchronous wait would block the very context that reports the
        // connection, so the waiting is done below, with the context running.
        EClient* client =
            e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_TASKS, guint32(-1), nullptr, error.out());
        if (!client)
            throw RemindersError("could not open the task list “" + title + "”: " + error.text());
        if (!e_client_is_online(client))
            awaitConnected(client);
        return clients.emplace(uid, Ref<ECalClient>(E_CAL_CLIENT(client))).first->second.get();
    }

    // Gives a remote list a moment to come online.
    void awaitConnected(EClient* client) {
        bool done = false;
        e_client_wait_for_connected(
            client, connectSeconds, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer finished) {
                e_client_wait_for_connected_finish(E_CLIENT(source), result, nullptr);
                *static_cast<bool*>(finished) = true;
            },
            &done);
        while (!done)
            g_main_context_iteration(context, TRUE);
    }

    struct Found {
        Ref<ICalComponent> component;
        std::string listTitle;
    };

    // The reminder with that UID in any enabled task list. Lists that do not
    // open are passed over.
    std::optional<Found> find(const std::string& uid) {
        for (const auto& list : lists()) {
            std::string title;
            ECalClient* client;
            try {
                client = open(list.identifier, title);
            } catch (const RemindersError&) {
                continue;
            }
            ICalComponent* component = nullptr;
            Error error;
            if (e_cal_client_get_object_sync(client, uid.c_str(), nullptr, &component, nullptr, error.out()))
                return Found{Ref<ICalComponent>(component), title};
            // A backend that went away is reopened next time.
            if (!g_error_matches(error.get(), E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND))
                clients.erase(list.identifier);
        }
        return std::nullopt;
    }
};

EdsRemindersDatabase::EdsRemindersDatabase() : session_(std::make_unique<Session>()) {}

EdsRemindersDatabase::~EdsRemindersDatabase() = default;

RemindersAuthorization EdsRemindersDatabase::authorizationStatus() const {
    std::lock_guard lock(mutex_);
    ContextScope scope(session_->context);
    if (session_->connect())
        return RemindersAuthorization::fullAccess;
    return session_->noBus ? RemindersAuthorization::notDetermined : RemindersAuthorization::denied;
}

platform::RemindersAccessAnswer EdsRemindersDatabase::requestFullAccess() {
    std::lock_guard lock(mutex_);
    ContextScope scope(session_->context);
    if (session_->connect())
        return {true, std::nullopt};
    if (session_->noBus)
        return {false, session_->problem};
    return {false, std::nullopt};
}

std::vector<platform::ReminderList> EdsRemindersDatabase::lists() const {
    std::lock_guard lock(mutex_);
    ContextScope scope(session_->context);
    return session_->lists();
}

std::string EdsRemindersDatabase::save(const platform::NewReminder& reminder) {
    std::lock_guard lock(mutex_);
    ContextScope scope(session_->context);
    std::string title;
    ECalClient* client = session_->open(reminder.listIdentifier, title);
    const std::string uid = reminder.deliveryKey.empty() ? "tavrelin-" + takeString(g_uuid_string_random())
                                                         : posix::deliveryUid(reminder.deliveryKey);
    // An earlier delivery of the same item, wherever the user moved it since.
    if (session_->find(uid))
        return uid;
    // A write an offline list would only queue is not yet in the user's
    // lists; the item stays on the relay until it can land.
    if (e_client_is_readonly(E_CLIENT(client)))
        throw RemindersError("the task list “" + title + "” is read-only");
    if (!e_client_is_online(E_CLIENT(client)))
        throw RemindersError("the task list “" + title + "” is offline");

    Ref<ICalComponent> todo = todoComponent(reminder, uid);
    gchar* createdUid = nullptr;
    Error error;
    if (!e_cal_client_create_object_sync(client, todo.get(), E_CAL_OPERATION_FLAG_NONE, &createdUid, nullptr, error.out())) {
        if (g_error_matches(error.get(), E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_ID_ALREADY_EXISTS))
            return uid;
        session_->clients.erase(reminder.listIdentifier);
        throw RemindersError("could not save to the task list “" + title + "”: " + error.text());
    }
    std::string created = takeString(createdUid);
    return created.empty() ? uid : created;
}

std::optional<platform::SavedReminder> EdsRemindersDatabase::reminder(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    ContextScope scope(session_->context);
    if (identifier.empty())
        return std::nullopt;
    auto found = session_->find(identifier);
    if (!found)
        return std::nullopt;
    auto* todo = static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(found->component.get())));
    if (!todo || icalcomponent_isa(todo) != ICAL_VTODO_COMPONENT)
        return std::nullopt;
    return ical::readTodo(todo, identifier, found->listTitle);
}

std::string EdsRemindersDatabase::lastProblem() const {
    std::lock_guard lock(mutex_);
    return session_->problem;
}

} // namespace tavrelin::eds
