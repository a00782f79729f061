#pragma once

// The test's own view of Evolution Data Server's task lists, through libecal
// as GNOME's task apps see them: makes lists and reads back what was filed.

#include <libecal/libecal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tavrelin::testing {

class EdsTaskLists {
public:
    // Connects to the registry of the bus this process uses.
    EdsTaskLists() : registry_(e_source_registry_new_sync(nullptr, error())) {
        if (!registry_)
            throw std::runtime_error("the test's registry connection failed: " + takeError());
    }

    // A new local task list; answers its source UID. With `readOnlyFile` the
    // list is that file, opened read-only.
    std::string create(const std::string& name, bool enabled = true,
                       const std::optional<std::filesystem::path>& readOnlyFile = std::nullopt) {
        Ref<ESource> source{e_source_new(nullptr, nullptr, error())};
        if (!source)
            throw std::runtime_error(takeError());
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
        return commit(source.get(), name);
    }

    // The list's VTODOs as iCalendar text, by UID.
    std::map<std::string, std::string> todos(const std::string& listUid) {
        std::map<std::string, std::string> result;
        Ref<ESource> source{e_source_registry_ref_source(registry_.get(), listUid.c_str())};
        if (!source)
            throw std::runtime_error("no source " + listUid);
        Ref<EClient> client{
            e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_TASKS, guint32(-1), nullptr, error())};
        if (!client)
            throw std::runtime_error("could not open " + listUid + ": " + takeError());
        GSList* objects = nullptr;
        if (!e_cal_client_get_object_list_sync(E_CAL_CLIENT(client.get()), "#t", &objects, nullptr, error()))
            throw std::runtime_error("could not read " + listUid + ": " + takeError());
        for (GSList* item = objects; item; item = item->next) {
            auto* component = I_CAL_COMPONENT(item->data);
            gchar* text = i_cal_component_as_ical_string(component);
            result[i_cal_component_get_uid(component)] = text;
            g_free(text);
        }
        g_slist_free_full(objects, g_object_unref);
        return result;
    }

    // One property of a VTODO as written, e.g. "DUE;VALUE=DATE:20300505";
    // "VALARM:NAME" looks in its first alarm. Empty when absent.
    static std::string property(const std::string& ical, const std::string& name) {
        const bool inAlarm = name.rfind("VALARM:", 0) == 0;
        const std::string wanted = inAlarm ? name.substr(7) : name;
        // Long lines are folded: a line break followed by a space.
        std::istringstream lines(std::regex_replace(ical, std::regex("\r?\n[ \t]"), ""));
        bool alarm = false;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            alarm = alarm || line == "BEGIN:VALARM";
            const char after = line.size() > wanted.size() ? line[wanted.size()] : '\0';
            if (alarm == inAlarm && line.rfind(wanted, 0) == 0 && (after == ':' || after == ';'))
                return line;
            if (line == "END:VALARM")
                break;
        }
        return "";
    }

private:
    std::string commit(ESource* source, const std::string& name) {
        GList sources{source, nullptr, nullptr};
        if (!e_source_registry_create_sources_sync(registry_.get(), &sources, nullptr, error()))
            throw std::runtime_error("could not create the task list " + name + ": " + takeError());
        return e_source_get_uid(source);
    }

    struct Unref {
        void operator()(gpointer object) const { g_object_unref(object); }
    };
    template <class T> using Ref = std::unique_ptr<T, Unref>;

    GError** error() {
        g_clear_error(&error_);
        return &error_;
    }
    std::string takeError() {
        std::string text = error_ ? error_->message : "unknown error";
        g_clear_error(&error_);
        return text;
    }

    GError* error_ = nullptr;
    Ref<ESourceRegistry> registry_;
};

} // namespace tavrelin::testing
