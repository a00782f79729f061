#include "Platform/Linux/Eds/EdsRemindersDatabase.h"

#include "Base/Text.h"
#include "Platform/Ical/Todo.h"
#include "Platform/Posix/DeliveryUid.h"

#include <libecal/libecal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <stop_token>
#include <thread>
#include <tuple>
#include <utility>

namespace tavrelin::eds {

using platform::RemindersAuthorization;
using platform::RemindersError;

namespace {

// Long enough for a remote list to come online, short enough that a dead
// server does not hold up a poll for long; each list is opened once.
constexpr guint32 connectSeconds = 5;
constexpr const char* notAnsweringText = "Evolution Data Server is not answering";
// Set on a client whose calendar factory went away.
constexpr const char* diedKey = "tavrelin-backend-died";

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using Ref = std::unique_ptr<T, Unref>;

template <class T> Ref<T> newReference(T* object) {
    return Ref<T>(static_cast<T*>(g_object_ref(object)));
}

// The server is gone or does not answer in time; nothing about the list.
class NotAnswering : public RemindersError {
public:
    NotAnswering() : RemindersError(notAnsweringText) {}
};

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

    // The server is gone, hangs, or says it cannot serve now: the bus lost its
    // peer or the call, the connection closed, the call ran past its limit
    // (the only cancelling there is), or EDS reports itself offline or busy.
    bool notAnswering() const {
        if (!error_)
            return false;
        if (error_->domain == G_DBUS_ERROR) {
            switch (error_->code) {
            case G_DBUS_ERROR_NO_REPLY:
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
            case G_DBUS_ERROR_DISCONNECTED:
            case G_DBUS_ERROR_NO_SERVER:
            case G_DBUS_ERROR_TIMEOUT:
            case G_DBUS_ERROR_TIMED_OUT:
            // A factory started anew knows nothing of the objects of the old one.
            case G_DBUS_ERROR_UNKNOWN_OBJECT:
            case G_DBUS_ERROR_UNKNOWN_INTERFACE:
            case G_DBUS_ERROR_UNKNOWN_METHOD:
                return true;
            default:
                return false;
            }
        }
        if (error_->domain == G_IO_ERROR)
            return g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_CLOSED) ||
                   g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                   g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
                   g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE) ||
                   g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED) ||
                   g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED);
        return g_error_matches(error_, E_CLIENT_ERROR, E_CLIENT_ERROR_REPOSITORY_OFFLINE) ||
               g_error_matches(error_, E_CLIENT_ERROR, E_CLIENT_ERROR_BUSY) ||
               g_error_matches(error_, E_CLIENT_ERROR, E_CLIENT_ERROR_DBUS_ERROR);
    }

private:
    GError* error_ = nullptr;
};

// Cancels the calls of one operation once it has run for `limit`, so a server
// that hangs holds the caller up for a bounded time. GLib's blocking calls
// wait on contexts of their own, so the watch is a thread; it starts with the
// first call that may wait, so an operation answered from what is known
// costs none.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds limit) : until_(std::chrono::steady_clock::now() + limit) {}
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const {
        if (!watch_.joinable())
            watch_ = std::jthread([cancellable = cancellable_.get(), until = until_](std::stop_token stop) {
                std::mutex mutex;
                std::unique_lock lock(mutex);
                std::condition_variable_any().wait_until(lock, stop, until, [] { return false; });
                if (!stop.stop_requested())
                    g_cancellable_cancel(cancellable);
            });
        return cancellable_.get();
    }

private:
    const std::chrono::steady_clock::time_point until_;
    Ref<GCancellable> cancellable_{g_cancellable_new()};
    mutable std::jthread watch_; // stopped and joined first, as it uses the cancellable
};

// Makes the private context the thread default for the calls in between, so
// the objects libecal creates deliver their callbacks there; whatever they
// queued is run here, on the calling thread, before and after.
class ContextScope {
public:
    explicit ContextScope(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
        drain(context_);
    }
    ~ContextScope() {
        drain(context_);
        g_main_context_pop_thread_default(context_);
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

    // Runs what is ready now; a bounded number of rounds, should a source
    // keep itself ready.
    static void drain(GMainContext* context) {
        for (int round = 0; round < 100 && g_main_context_iteration(context, FALSE); ++round) {
        }
    }

private:
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

void markDied(EClient* client, gpointer) {
    g_object_set_data(G_OBJECT(client), diedKey, GINT_TO_POINTER(1));
}

bool died(ECalClient* client) {
    return g_object_get_data(G_OBJECT(client), diedKey) != nullptr;
}

} // namespace

// The connection to the registry and the opened lists. Touched only with the
// database's mutex held and its context pushed.
struct EdsRemindersDatabase::Session {
    explicit Session(std::chrono::milliseconds callLimit) : limit(callLimit) {}

    GMainContext* context = g_main_context_new();
    const std::chrono::milliseconds limit;
    Ref<GDBusConnection> bus;
    Ref<ESourceRegistry> registry;
    std::map<std::string, Ref<ECalClient>> clients; // by source UID
    // The server stopped answering; saves fail at once until the registry is
    // asked again.
    bool unanswered = false;

    ~Session() {
        {
            ContextScope scope(context);
            clients.clear();
            registry.reset();
            bus.reset();
        }
        g_main_context_unref(context);
    }

    // Forgets every opened list and the registry, so the next call starts
    // afresh, with a reopened client for each list.
    void lost() {
        clients.clear();
        registry.reset();
        unanswered = true;
    }

    // The registry, connected on first use and again after the bus or the
    // server went away; null when it does not answer (`probe` says why).
    ESourceRegistry* connect(const Deadline& deadline, EdsProbe& probe) {
        unanswered = false;
        if (bus && g_dbus_connection_is_closed(bus.get())) {
            clients.clear();
            registry.reset();
            bus.reset();
        }
        probe = {};
        if (registry) {
            probe.kind = EdsProbe::Kind::answers;
            return registry.get();
        }
        Error error;
        if (!bus) {
            GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), error.out());
            if (!connection) {
                probe = {EdsProbe::Kind::noBus, "no session bus: " + error.text()};
                return nullptr;
            }
            // The bus is the whole process's; losing it must not end the agent.
            g_dbus_connection_set_exit_on_close(connection, FALSE);
            bus.reset(connection);
        }
        // The registry client comes up even when nothing answers on the bus,
        // so the registry is asked first; on a desktop this also starts it.
        GVariant* pong =
            g_dbus_connection_call_sync(bus.get(), registryBusName, "/", "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                        G_DBUS_CALL_FLAGS_NONE, int(limit.count()), deadline.cancellable(), error.out());
        if (pong) {
            g_variant_unref(pong);
            registry.reset(e_source_registry_new_sync(deadline.cancellable(), error.out()));
        }
        if (!registry) {
            probe = {EdsProbe::Kind::notAnswering, "the Evolution Data Server registry does not answer: " + error.text()};
            return nullptr;
        }
        probe.kind = EdsProbe::Kind::answers;
        return registry.get();
    }

    // Throws unless the registry answers.
    ESourceRegistry* sources(const Deadline& deadline) {
        EdsProbe probe;
        ESourceRegistry* answering = connect(deadline, probe);
        if (probe.kind == EdsProbe::Kind::noBus)
            throw RemindersError(probe.problem);
        if (!answering)
            throw NotAnswering();
        return answering;
    }

    static std::vector<platform::ReminderList> lists(ESourceRegistry* sources) {
        std::vector<platform::ReminderList> result;
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

    // The opened list with that source UID, as a reference of the caller's
    // own: a failure later in the call may drop it from the cache. Throws
    // when it is not an enabled task list or does not open.
    Ref<ECalClient> open(const std::string& uid, std::string& title, const Deadline& deadline) {
        ESourceRegistry* registered = sources(deadline);
        Ref<ESource> source{e_source_registry_ref_source(registered, uid.c_str())};
        if (!source || !e_source_has_extension(source.get(), E_SOURCE_EXTENSION_TASK_LIST) ||
            !e_source_registry_check_enabled(registered, source.get()))
            throw RemindersError("there is no task list “" + uid + "”");
        const char* name = e_source_get_display_name(source.get());
        title = name ? name : uid;
        if (auto found = clients.find(uid); found != clients.end()) {
            if (!died(found->second.get()))
                return newReference(found->second.get());
            clients.erase(found); // its factory went away: open it anew
        }
        Error error;
        // The synchronous wait would block the very context that reports the
        // connection, so the waiting is done below, with the context running.
        EClient* client = e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_TASKS, guint32(-1),
                                                    deadline.cancellable(), error.out());
        if (!client) {
            if (error.notAnswering())
                throw NotAnswering();
            throw RemindersError("could not open the task list “" + title + "”: " + error.text());
        }
        Ref<ECalClient> opened{E_CAL_CLIENT(client)};
        g_signal_connect(client, "backend-died", G_CALLBACK(markDied), nullptr);
        if (!e_client_is_online(client))
            awaitConnected(client, deadline);
        clients.emplace(uid, newReference(opened.get()));
        return opened;
    }

    // Gives a remote list a moment to come online. The callback's flag is
    // shared with it, as the wait may end before it runs.
    void awaitConnected(EClient* client, const Deadline& deadline) {
        auto done = std::make_shared<bool>(false);
        e_client_wait_for_connected(
            client, connectSeconds, deadline.cancellable(),
            [](GObject* source, GAsyncResult* result, gpointer finished) {
                std::unique_ptr<std::shared_ptr<bool>> flag(static_cast<std::shared_ptr<bool>*>(finished));
                e_client_wait_for_connected_finish(E_CLIENT(source), result, nullptr);
                **flag = true;
            },
            new std::shared_ptr<bool>(done));
        // A timer of our own on the context wakes the wait, whatever libecal does.
        bool expired = false;
        GSource* timer = g_timeout_source_new_seconds(connectSeconds + 1);
        g_source_set_callback(
            timer,
            [](gpointer flag) {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &expired, nullptr);
        g_source_attach(timer, context);
        while (!*done && !expired)
            g_main_context_iteration(context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }

    struct Found {
        Ref<ICalComponent> component;
        std::string listTitle;
    };

    // The reminder with that UID in any enabled task list. A list that does
    // not open cannot be searched and is passed over (its own failure shows
    // when something is filed into it); a server that does not answer ends
    // the search.
    std::optional<Found> find(const std::string& uid, const Deadline& deadline) {
        for (const auto& list : lists(sources(deadline))) {
            std::string title;
            Ref<ECalClient> client;
            try {
                client = open(list.identifier, title, deadline);
            } catch (const NotAnswering&) {
                throw;
            } catch (const RemindersError&) {
                continue;
            }
            ICalComponent* component = nullptr;
            Error error;
            if (e_cal_client_get_object_sync(client.get(), uid.c_str(), nullptr, &component, deadline.cancellable(),
                                             error.out()))
                return Found{Ref<ICalComponent>(component), title};
            if (error.notAnswering())
                throw NotAnswering();
            // Anything else but "not here": the list is reopened next time.
            if (!g_error_matches(error.get(), E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND))
                clients.erase(list.identifier);
        }
        return std::nullopt;
    }

    // The UID of the reminder an earlier version filed for this delivery in
    // the list `client` opens, when it is still the same filing.
    std::optional<std::string> filedEarlier(ECalClient* client, const platform::NewReminder& reminder,
                                            const std::string& listTitle, const Deadline& deadline) {
        if (reminder.earlierDeliveryKey.empty())
            return std::nullopt;
        const std::string uid = posix::deliveryUid(reminder.earlierDeliveryKey);
        ICalComponent* component = nullptr;
        Error error;
        if (!e_cal_client_get_object_sync(client, uid.c_str(), nullptr, &component, deadline.cancellable(), error.out())) {
            if (error.notAnswering())
                throw NotAnswering();
            return std::nullopt;
        }
        Ref<ICalComponent> found{component};
        auto* todo = static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(found.get())));
        if (!todo || icalcomponent_isa(todo) != ICAL_VTODO_COMPONENT ||
            !ical::isSameFiling(ical::readTodo(todo, uid, listTitle), reminder.listIdentifier, reminder))
            return std::nullopt;
        return uid;
    }

    std::string save(const platform::NewReminder& reminder, const Deadline& deadline) {
        std::string title;
        Ref<ECalClient> client = open(reminder.listIdentifier, title, deadline);
        const std::string uid = reminder.deliveryKey.empty() ? "tavrelin-" + takeString(g_uuid_string_random())
                                                             : posix::deliveryUid(reminder.deliveryKey);
        // An earlier delivery of the same item, wherever the user moved it since.
        if (find(uid, deadline))
            return uid;
        if (auto earlier = filedEarlier(client.get(), reminder, title, deadline))
            return *earlier;
        // A client whose factory went away reads as read-only and offline:
        // only a live one is asked.
        ContextScope::drain(context);
        if (died(client.get()))
            throw NotAnswering();
        // A write an offline list would only queue is not yet in the user's
        // lists; the item stays on the relay until it can land.
        if (e_client_is_readonly(E_CLIENT(client.get())))
            throw RemindersError("the task list “" + title + "” is read-only");
        if (!e_client_is_online(E_CLIENT(client.get())))
            throw RemindersError("the task list “" + title + "” is offline");

        Ref<ICalComponent> todo = todoComponent(reminder, uid);
        gchar* createdUid = nullptr;
        Error error;
        if (!e_cal_client_create_object_sync(client.get(), todo.get(), E_CAL_OPERATION_FLAG_NONE, &createdUid,
                                             deadline.cancellable(), error.out())) {
            if (g_error_matches(error.get(), E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_ID_ALREADY_EXISTS))
                return uid;
            if (error.notAnswering())
                throw NotAnswering();
            clients.erase(reminder.listIdentifier);
            throw RemindersError("could not save to the task list “" + title + "”: " + error.text());
        }
        std::string created = takeString(createdUid);
        return created.empty() ? uid : created;
    }

    platform::ReminderList createList(const std::string& title, const Deadline& deadline) {
        if (title.empty())
            throw RemindersError("a task list needs a name");
        ESourceRegistry* registered = sources(deadline);
        for (auto& list : lists(registered))
            if (text::canonicallyEqual(list.title, title))
                return list;
        Error error;
        Ref<ESource> source{e_source_new(nullptr, nullptr, error.out())};
        if (!source)
            throw RemindersError("could not create the task list “" + title + "”: " + error.text());
        e_source_set_display_name(source.get(), title.c_str());
        e_source_set_parent(source.get(), "local-stub");
        e_source_set_enabled(source.get(), TRUE);
        e_source_backend_set_backend_name(E_SOURCE_BACKEND(e_source_get_extension(source.get(), E_SOURCE_EXTENSION_TASK_LIST)),
                                          "local");
        // Answers once the registry has the new source, so lists() finds it.
        GList sources{source.get(), nullptr, nullptr};
        if (!e_source_registry_create_sources_sync(registered, &sources, deadline.cancellable(), error.out())) {
            if (error.notAnswering())
                throw NotAnswering();
            throw RemindersError("could not create the task list “" + title + "”: " + error.text());
        }
        return {e_source_get_uid(source.get()), title};
    }

    // Runs one operation on the server within the time limit. A server that
    // does not answer is forgotten, to be reconnected afresh.
    template <class Operation> auto run(Operation operation) {
        ContextScope scope(context);
        Deadline deadline(limit);
        try {
            return operation(deadline);
        } catch (const NotAnswering&) {
            lost();
            throw;
        }
    }
};

EdsRemindersDatabase::EdsRemindersDatabase(std::chrono::milliseconds callLimit)
    : session_(std::make_unique<Session>(callLimit)) {}

EdsRemindersDatabase::~EdsRemindersDatabase() = default;

EdsProbe EdsRemindersDatabase::probe() const {
    std::lock_guard lock(mutex_);
    return session_->run([this](const Deadline& deadline) {
        EdsProbe probe;
        if (ESourceRegistry* registry = session_->connect(deadline, probe))
            probe.taskLists = Session::lists(registry).size();
        return probe;
    });
}

RemindersAuthorization EdsRemindersDatabase::authorizationStatus() const {
    return probe().kind == EdsProbe::Kind::answers ? RemindersAuthorization::fullAccess : RemindersAuthorization::notDetermined;
}

platform::RemindersAccessAnswer EdsRemindersDatabase::requestFullAccess() {
    switch (EdsProbe probe = this->probe(); probe.kind) {
    case EdsProbe::Kind::answers:
        return platform::RemindersAccessAnswer::granted;
    case EdsProbe::Kind::noBus:
        throw platform::RemindersError(probe.problem);
    case EdsProbe::Kind::notAnswering:
        break;
    }
    throw platform::RemindersError(notAnsweringText);
}

std::vector<platform::ReminderList> EdsRemindersDatabase::lists() const {
    std::lock_guard lock(mutex_);
    return session_->run([this](const Deadline& deadline) { return Session::lists(session_->sources(deadline)); });
}

std::string EdsRemindersDatabase::save(const platform::NewReminder& reminder) {
    std::lock_guard lock(mutex_);
    if (session_->unanswered)
        throw NotAnswering();
    return session_->run([&](const Deadline& deadline) { return session_->save(reminder, deadline); });
}

std::optional<platform::SavedReminder> EdsRemindersDatabase::reminder(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    if (identifier.empty())
        return std::nullopt;
    if (session_->unanswered)
        throw NotAnswering();
    return session_->run([&](const Deadline& deadline) -> std::optional<platform::SavedReminder> {
        auto found = session_->find(identifier, deadline);
        if (!found)
            return std::nullopt;
        auto* todo = static_cast<icalcomponent*>(i_cal_object_get_native(I_CAL_OBJECT(found->component.get())));
        if (!todo || icalcomponent_isa(todo) != ICAL_VTODO_COMPONENT)
            return std::nullopt;
        return ical::readTodo(todo, identifier, found->listTitle);
    });
}

platform::ReminderList EdsRemindersDatabase::createList(const std::string& title) {
    std::lock_guard lock(mutex_);
    return session_->run([&](const Deadline& deadline) { return session_->createList(title, deadline); });
}

} // namespace tavrelin::eds
