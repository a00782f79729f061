#include "Platform/Linux/Secret/LibsecretSecrets.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

namespace tavrelin::secret {

using platform::SecretsError;

namespace {

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// A session bus as its variable names it, or the one in the runtime folder.
bool hasSessionBus() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime && runtime[0] == '/' && ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 &&
           S_ISSOCK(info.st_mode);
}

// GLib's error as a SecretsError, with the words a person can act on.
SecretsError failure(const std::string& doing, GError* error) {
    std::string message = doing;
    if (error) {
        gchar* remote = g_dbus_error_get_remote_error(error);
        const std::string remoteName = remote ? remote : "";
        g_free(remote);
        if (remoteName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
            remoteName == "org.freedesktop.DBus.Error.NameHasNoOwner")
            message = "no keyring (Secret Service) runs on the session bus";
        else if (remoteName == "org.freedesktop.Secret.Error.IsLocked")
            message = "the keyring is locked";
        else {
            g_dbus_error_strip_remote_error(error);
            message += ": ";
            message += error->message;
        }
        g_error_free(error);
    }
    return SecretsError(message);
}

struct Attributes {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    // The table borrows the key's texts.
    explicit Attributes(const platform::SecretKey& key) {
        g_hash_table_insert(table, const_cast<char*>("server"), const_cast<char*>(key.server.c_str()));
        g_hash_table_insert(table, const_cast<char*>("user"), const_cast<char*>(key.user.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
};

struct ItemList {
    GList* items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

} // namespace

// One thread owning every GLib object of the adapter, with a main context of
// its own that it runs between calls (so the proxy's signals are handled
// there, and nowhere else). A call is a task on that context; the caller
// waits for its result for the call's limit and cancels it after that.
class LibsecretSecrets::Worker {
public:
    explicit Worker(std::string schemaName) : schemaName_(std::move(schemaName)), hasBus_(hasSessionBus()) {
        schema_.name = schemaName_.c_str();
        schema_.flags = SECRET_SCHEMA_NONE;
        schema_.attributes[0] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema_.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema_.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_clear_object(&service_);
            g_clear_object(&bus_);
            while (g_main_context_iteration(context_, FALSE)) {
            }
            g_main_context_pop_thread_default(context_);
        });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            for (GCancellable* cancellable : running_)
                g_cancellable_cancel(cancellable);
        }
        post([this] { g_main_loop_quit(loop_); });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    // Runs `task` on the worker; waits at most `limit` seconds for its result.
    template <class Result> Result run(double limit, std::function<Result(GCancellable*)> task) {
        struct Call {
            GCancellable* cancellable = g_cancellable_new();
            std::promise<Result> done;
            ~Call() { g_object_unref(cancellable); }
        };
        auto call = std::make_shared<Call>();
        std::future<Result> result = call->done.get_future();
        {
            std::lock_guard lock(mutex_);
            running_.insert(call->cancellable);
        }
        post([call, task = std::move(task)] {
            try {
                if (g_cancellable_is_cancelled(call->cancellable))
                    throw SecretsError("the keyring call was given up");
                call->done.set_value(task(call->cancellable));
            } catch (...) {
                call->done.set_exception(std::current_exception());
            }
        });
        const bool answered =
            result.wait_for(std::chrono::duration<double>(std::isfinite(limit) ? limit : 1e9)) == std::future_status::ready;
        {
            std::lock_guard lock(mutex_);
            running_.erase(call->cancellable);
        }
        if (!answered) {
            g_cancellable_cancel(call->cancellable);
            throw SecretsError("the keyring did not answer within " + secondsText(limit) + " s");
        }
        return result.get();
    }

    // On the worker thread only.
    SecretService* service(GCancellable* cancellable) {
        if (bus_ && g_dbus_connection_is_closed(bus_)) { // the bus went away: start again
            g_clear_object(&service_);
            g_clear_object(&bus_);
        }
        if (service_)
            return service_;
        // Checked here, so that GLib never autolaunches a bus of its own.
        if (!hasBus_)
            throw SecretsError("there is no session bus to reach the keyring on");
        GError* error = nullptr;
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error);
        if (!bus_)
            throw failure("could not reach the session bus", error);
        // A bus that goes away ends our calls, not the process.
        g_dbus_connection_set_exit_on_close(bus_, FALSE);
        // An instance of our own: libsecret's shared one would be used from
        // whatever thread asked first.
        service_ = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancellable, &error);
        if (!service_)
            throw failure("could not reach the keyring", error);
        return service_;
    }

    const SecretSchema* schema() const { return &schema_; }

private:
    // The work goes through a queue of ours, under our own lock; the GLib
    // source only wakes the worker up. (GLib's locks are invisible to the
    // thread sanitizer, ours are not.)
    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                static_cast<Worker*>(data)->runQueued();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(source, context_);
        g_source_unref(source);
    }

    void runQueued() {
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty())
                    return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::string schemaName_;
    SecretSchema schema_{};
    const bool hasBus_;
    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    // Touched on the worker thread only.
    GDBusConnection* bus_ = nullptr;
    SecretService* service_ = nullptr;
    std::mutex mutex_;
    std::set<GCancellable*> running_; // calls a caller still waits for
    std::deque<std::function<void()>> queue_;
    std::thread thread_;
};

LibsecretSecrets::LibsecretSecrets(SecretLimits limits, std::string schema)
    : schema_(std::move(schema)), limits_(limits), worker_(std::make_unique<Worker>(schema_)) {}

LibsecretSecrets::~LibsecretSecrets() = default;

std::optional<std::string> LibsecretSecrets::lookup(const platform::SecretKey& key, Prompt prompt) {
    const bool mayAsk = prompt == Prompt::allowed;
    Worker& worker = *worker_;
    return worker.run<std::optional<std::string>>(
        mayAsk ? limits_.prompt : limits_.call,
        [&worker, key, mayAsk](GCancellable* cancellable) -> std::optional<std::string> {
            SecretService* service = worker.service(cancellable);
            Attributes attributes(key);
            GError* error = nullptr;
            ItemList found;
            found.items = secret_service_search_sync(
                service, worker.schema(), attributes.table,
                SecretSearchFlags(SECRET_SEARCH_LOAD_SECRETS | (mayAsk ? SECRET_SEARCH_UNLOCK : 0)), cancellable, &error);
            if (error)
                throw failure("could not search the keyring", error);
            if (!found.items)
                return std::nullopt;
            auto* item = static_cast<SecretItem*>(found.items->data);
            if (secret_item_get_locked(item))
                throw SecretsError("the keyring is locked");
            SecretValue* value = secret_item_get_secret(item);
            if (!value) {
                if (!secret_item_load_secret_sync(item, cancellable, &error))
                    throw failure("could not read the keyring", error);
                value = secret_item_get_secret(item);
            }
            if (!value)
                throw SecretsError("the keyring gave no secret for the item it found");
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            std::string secret(bytes, length);
            secret_value_unref(value);
            return secret;
        });
}

void LibsecretSecrets::store(const platform::SecretKey& key, const std::string& label, const std::string& secret) {
    Worker& worker = *worker_;
    worker.run<bool>(limits_.prompt, [&worker, key, label, secret](GCancellable* cancellable) {
        SecretService* service = worker.service(cancellable);
        Attributes attributes(key);
        SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
        GError* error = nullptr;
        const gboolean stored = secret_service_store_sync(service, worker.schema(), attributes.table, SECRET_COLLECTION_DEFAULT,
                                                          label.c_str(), value, cancellable, &error);
        secret_value_unref(value);
        if (!stored)
            throw failure("could not store the password in the keyring", error);
        return true;
    });
}

bool LibsecretSecrets::remove(const platform::SecretKey& key) {
    Worker& worker = *worker_;
    return worker.run<bool>(limits_.prompt, [&worker, key](GCancellable* cancellable) {
        SecretService* service = worker.service(cancellable);
        Attributes attributes(key);
        GError* error = nullptr;
        const gboolean removed = secret_service_clear_sync(service, worker.schema(), attributes.table, cancellable, &error);
        if (error)
            throw failure("could not remove the password from the keyring", error);
        return removed != FALSE;
    });
}

} // namespace tavrelin::secret
