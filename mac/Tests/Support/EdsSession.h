#pragma once

// A private Evolution Data Server for tests: a session bus of its own (nothing
// on it is activated on demand), the source registry and the calendar factory
// on it, and a temporary home and XDG folders for all of them. The session's
// shell lives while it reads our pipe, so it ends with the test however the
// test ends, and takes the services along. And the test's own view of its
// task lists, through libecal as GNOME's task apps see them.

#include "Support/DevRelayProcess.h"
#include "Support/TempFolder.h"

#include <libecal/libecal.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <regex>

namespace tavrelin::testing {

class EdsSession {
public:
    // With `services` false the bus is bare: nothing owns the registry's name.
    explicit EdsSession(bool services = true) {
        for (const char* program : {"/usr/bin/dbus-run-session", "/usr/bin/dbus-send", registryProgram, calendarProgram})
            if (!installed(program))
                throw std::runtime_error(std::string(program) + " is missing (scripts/setup installs it)");
        environment_.insert({{"GSETTINGS_BACKEND", "memory"}, {"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}});
        // No service folders: only what we start runs.
        std::ofstream(root_ / "bus.conf") << "<busconfig><type>session</type><listen>unix:dir=" << root_.path()
                                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                             "<allow own=\"*\"/></policy></busconfig>\n";
        // The address is printed once the services own their names; the
        // Peer.Ping fails until then, as nothing is activated.
        std::string script = "up() { for i in $(seq 300); do dbus-send --session --print-reply --dest=$1 / "
                             "org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && return; sleep 0.1; done; return 1; }; ";
        if (services)
            script += std::string(registryProgram) + " & r=$!; " + calendarProgram +
                      " --keep-running & c=$!; up org.gnome.evolution.dataserver.Sources5 && "
                      "up org.gnome.evolution.dataserver.Calendar8 && ";
        script += "echo \"bus=$DBUS_SESSION_BUS_ADDRESS\"; read -r _; kill $r $c 2>/dev/null; wait";
        session_.emplace(std::vector<std::string>{"/usr/bin/dbus-run-session", "--config-file=" + root_ / "bus.conf", "--",
                                                  "/bin/sh", "-c", script},
                         environment_);
        if (!session_->await("bus=", std::chrono::seconds(40)))
            throw std::runtime_error("the test session did not come up:\n" + session_->output());
        const std::string address = session_->await("\n").value_or("\n");
        environment_["DBUS_SESSION_BUS_ADDRESS"] = address.substr(0, address.size() - 1);
    }

    std::filesystem::path root() const { return root_.path(); }

    // The variables a process needs to live in this session and nowhere else.
    std::map<std::string, std::string> environment() const { return environment_; }

    // Moves this process into the session until the session ends. Call it
    // before anything here touches the session bus: GLib keeps the first bus
    // it reaches.
    void enter() {
        for (const auto& [name, value] : environment())
            entered_.set(name, value);
        entered_.set("DISPLAY", std::nullopt);
    }

    // Sends the calendar factory a signal: SIGKILL is a person restarting
    // Evolution Data Server, SIGSTOP a factory that hangs. Answers once the
    // bus no longer sees a killed one.
    void signalCalendarFactory(int signal) {
        const std::string owner = askBusAboutFactory("GetConnectionUnixProcessID");
        const auto number = owner.find("uint32 ");
        if (number == std::string::npos)
            throw std::runtime_error("no calendar factory on the bus: " + owner);
        ::kill(static_cast<pid_t>(std::stol(owner.substr(number + 7))), signal);
        if (signal == SIGKILL && !eventually([&] { return !factoryOnBus(); }))
            throw std::runtime_error("the killed calendar factory stays on the bus");
    }

    // Starts a calendar factory of its own; it answers when this returns.
    void startCalendarFactory() {
        factories_.push_back(
            std::make_unique<Child>(std::vector<std::string>{calendarProgram, "--keep-running"}, environment_));
        if (!eventually([&] { return factoryOnBus(); }))
            throw std::runtime_error("the calendar factory did not come up:\n" + factories_.back()->output());
    }

private:
    static constexpr const char* registryProgram = "/usr/libexec/evolution-source-registry";
    static constexpr const char* calendarProgram = "/usr/libexec/evolution-calendar-factory";
    static constexpr const char* calendarName = "org.gnome.evolution.dataserver.Calendar8";

    bool factoryOnBus() const { return askBusAboutFactory("NameHasOwner").find("true") != std::string::npos; }
    // A method of the bus itself about the calendar factory's name; answers what dbus-send printed.
    std::string askBusAboutFactory(const std::string& method) const {
        return runToEnd({"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                         "/org/freedesktop/DBus", "org.freedesktop.DBus." + method, "string:" + std::string(calendarName)},
                        environment_)
            .second;
    }

    // Short, under /tmp: the bus's socket path must fit. Removed after the
    // session has ended.
    TempFolder root_{"/tmp"};
    std::map<std::string, std::string> environment_ = userFolders(root_.path());
    std::optional<Child> session_;
    // Stopped before the session, which ends the bus.
    std::vector<std::unique_ptr<Child>> factories_;
    SavedEnvironment entered_;
};

// Makes task lists and reads back what was filed.
class EdsTaskLists {
public:
    // Connects to the registry of the bus this process uses.
    EdsTaskLists() : registry_(made(e_source_registry_new_sync(nullptr, &error_), "the test's registry connection")) {}

    // A new local task list; answers its source UID. With `readOnlyFile` the
    // list is that file, opened read-only.
    std::string create(const std::string& name, bool enabled = true,
                       const std::optional<std::filesystem::path>& readOnlyFile = std::nullopt) {
        Ref<ESource> source{made(e_source_new(nullptr, nullptr, &error_), "a new source")};
        e_source_set_display_name(source.get(), name.c_str());
        e_source_set_parent(source.get(), "local-stub");
        e_source_set_enabled(source.get(), enabled);
        auto* list = E_SOURCE_BACKEND(e_source_get_extension(source.get(), E_SOURCE_EXTENSION_TASK_LIST));
        e_source_backend_set_backend_name(list, "local");
        if (readOnlyFile) {
            std::ofstream(*readOnlyFile) << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nEND:VCALENDAR\r\n";
            auto* local = E_SOURCE_LOCAL(e_source_get_extension(source.get(), E_SOURCE_EXTENSION_LOCAL_BACKEND));
            Ref<GFile> custom{g_file_new_for_path(readOnlyFile->c_str())};
            e_source_local_set_custom_file(local, custom.get());
            e_source_local_set_writable(local, FALSE);
        }
        GList sources{source.get(), nullptr, nullptr};
        check(e_source_registry_create_sources_sync(registry_.get(), &sources, nullptr, &error_), "creating " + name);
        return e_source_get_uid(source.get());
    }

    // The list's VTODOs as iCalendar text, by UID.
    std::map<std::string, std::string> todos(const std::string& listUid) {
        Ref<ESource> source{made(e_source_registry_ref_source(registry_.get(), listUid.c_str()), "source " + listUid)};
        Ref<EClient> client{
            made(e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_TASKS, guint32(-1), nullptr, &error_),
                 "opening " + listUid)};
        GSList* objects = nullptr;
        check(e_cal_client_get_object_list_sync(E_CAL_CLIENT(client.get()), "#t", &objects, nullptr, &error_),
              "reading " + listUid);
        std::map<std::string, std::string> result;
        for (GSList* item = objects; item; item = item->next) {
            gchar* text = i_cal_component_as_ical_string(I_CAL_COMPONENT(item->data));
            result[i_cal_component_get_uid(I_CAL_COMPONENT(item->data))] = text;
            g_free(text);
        }
        g_slist_free_full(objects, g_object_unref);
        return result;
    }

    // One property of a VTODO as written, folded lines joined, e.g. "DUE:20300504T093000"; empty when absent.
    static std::string property(const std::string& ical, const std::string& name) {
        const std::string text = std::regex_replace(ical, std::regex("\r?\n[ \t]"), "");
        std::smatch match;
        return std::regex_search(text, match, std::regex("(^|\n)(" + name + "[:;][^\r\n]*)")) ? match[2].str() : "";
    }

private:
    struct Unref {
        void operator()(gpointer object) const { g_object_unref(object); }
    };
    template <class T> using Ref = std::unique_ptr<T, Unref>;

    // Throws with GLib's message when `ok` is false.
    void check(bool ok, const std::string& what) {
        if (ok)
            return;
        const std::string message = what + " failed: " + (error_ ? error_->message : "no such thing");
        g_clear_error(&error_);
        throw std::runtime_error(message);
    }
    template <class T> T* made(T* object, const std::string& what) {
        check(object != nullptr, what);
        return object;
    }

    GError* error_ = nullptr;
    Ref<ESourceRegistry> registry_;
};

} // namespace tavrelin::testing
