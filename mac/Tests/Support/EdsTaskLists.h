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
#include <stdexcept>
#include <string>

namespace tavrelin::testing {

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
