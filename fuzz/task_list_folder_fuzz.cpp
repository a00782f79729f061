// A task-list folder of arbitrary content: a `displayname` and `.ics` files
// of arbitrary bytes, read by the vdir backend as the agent reads it (the
// lists, then a reminder by identifier). A folder of events is no list. Then one reminder of fuzzed text and
// due date is filed beside them and must read back as it was written.

#include "Check.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "TavrelinMac/RemindersStore.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace tavrelin;
namespace fs = std::filesystem;

namespace {

fs::path root;

void removeRoot() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Text a reminder keeps exactly: valid UTF-8 without control characters.
bool plainText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || (c >= 0x80 && c <= 0x9f))
            return false;
    }
    return true;
}

// libical's reader drops blanks around a property's value; the file keeps them.
std::string unpadded(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool within(const std::optional<std::int64_t>& value, std::int64_t low, std::int64_t high) {
    return value && *value >= low && *value <= high;
}

// Names a list folder may hold: identifiers the agent writes, odd ones it must
// refuse, and a temporary file readers skip.
const char* const fileNames[] = {"a.ics", "tavrelin-00ff.ics", "x.y+z_-.ics", "a b.ics",
                                 "..ics", "n\xC3\xA9.ics",     "a.ics.tmp",   "displayname.ics"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    // $TMPDIR when set (scripts/fuzz points it at a scratch folder it removes,
    // even after a crash), else memory-backed when possible: every save is flushed.
    const char* tmpdir = std::getenv("TMPDIR");
    const char* base = tmpdir && *tmpdir ? tmpdir : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tavrelin-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    root = pattern;
    std::atexit(removeRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root, ignored))
        fs::remove_all(entry.path(), ignored);
    const fs::path folder = root / "list";
    fs::create_directory(folder);

    std::optional<std::string> displayName;
    if (input.ConsumeBool()) {
        displayName = input.ConsumeRandomLengthString(256);
        write(folder / "displayname", *displayName);
    }
    std::vector<std::string> names;
    bool mentionsEvent = false; // an item that may hold an event
    for (int files = input.ConsumeIntegralInRange(0, 3); files > 0; --files) {
        std::string name = input.PickValueInArray(fileNames);
        std::string bytes = input.ConsumeRandomLengthString(4096);
        write(folder / name, bytes);
        names.push_back(name.substr(0, name.find(".ics")));
        std::transform(bytes.begin(), bytes.end(), bytes.begin(), [](unsigned char c) { return std::toupper(c); });
        mentionsEvent |= name.ends_with(".ics") && bytes.find("VEVENT") != std::string::npos;
    }

    posix::PosixFiles files;
    vdir::VdirRemindersDatabase database(root.string(), files);
    const auto lists = database.lists();
    // Left out only as a calendar of events, and then nothing is filed into it.
    if (lists.empty()) {
        FUZZ_CHECK(mentionsEvent);
        bool refused = false;
        try {
            database.save({"list", "t", {}, {}, {}, "relay.example\nitem"});
        } catch (const platform::RemindersError&) {
            refused = true;
        }
        FUZZ_CHECK(refused);
        return 0;
    }
    FUZZ_CHECK(lists.size() == 1 && lists[0].identifier == "list");
    std::string title = displayName.value_or("");
    while (!title.empty() && (title.back() == '\n' || title.back() == '\r'))
        title.pop_back();
    FUZZ_CHECK(lists[0].title == (title.empty() ? "list" : title));

    for (const std::string& name : names) {
        auto found = database.reminder(name);
        if (found)
            FUZZ_CHECK(vdir::VdirRemindersDatabase::isValidIdentifier(name) && found->listTitle == lists[0].title);
    }

    // File one reminder among whatever is there, and read it back.
    platform::NewReminder reminder;
    reminder.listIdentifier = "list";
    reminder.title = input.ConsumeRandomLengthString(128);
    if (input.ConsumeBool())
        reminder.notes = input.ConsumeRandomLengthString(256);
    const bool allDay = input.ConsumeBool();
    const std::string dueText = input.ConsumeRandomLengthString(48);
    reminder.deliveryKey = input.ConsumeRemainingBytesAsString();
    static const posix::SystemClock clock;
    reminder.due = RemindersStore::dueComponents(dueText, allDay);
    if (reminder.due && !allDay)
        reminder.alarm = clock.localDate(*reminder.due);

    std::string identifier;
    try {
        identifier = database.save(reminder);
    } catch (const platform::RemindersError&) {
        // Refusing is allowed (a name taken by a stray file); losing data silently is not.
        return 0;
    }
    FUZZ_CHECK(vdir::VdirRemindersDatabase::isValidIdentifier(identifier));
    const auto saved = database.reminder(identifier);
    FUZZ_CHECK(saved);
    FUZZ_CHECK(saved->listTitle == lists[0].title);
    if (plainText(reminder.title))
        FUZZ_CHECK(saved->title == unpadded(reminder.title));
    if (reminder.notes && plainText(*reminder.notes)) {
        const std::string notes = unpadded(*reminder.notes);
        FUZZ_CHECK(saved->notes.value_or("") == notes);
    }

    // Whatever is read back is a real date and time (never a zero date); a
    // plain one comes back as it was given.
    if (const auto& back = saved->due) {
        FUZZ_CHECK(within(back->year, 1, 3000) && within(back->month, 1, 12) && within(back->day, 1, 31));
        FUZZ_CHECK(!back->hour == !back->minute);
        FUZZ_CHECK(!back->hour || (within(back->hour, 0, 23) && within(back->minute, 0, 59)));
    }
    const auto& due = reminder.due;
    const bool plainDue = due && within(due->year, 1, 3000) && within(due->month, 1, 12) && within(due->day, 1, 28) &&
                          (allDay || (within(due->hour, 0, 23) && within(due->minute, 0, 59)));
    if (plainDue && saved->due != due) {
        const auto text = [](const std::optional<platform::DateComponents>& c) {
            auto field = [](const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : std::string("-"); };
            return c ? field(c->year) + "/" + field(c->month) + "/" + field(c->day) + " " + field(c->hour) + ":" +
                           field(c->minute)
                     : std::string("none");
        };
        std::fprintf(stderr, "due %s read back as %s\n", text(due).c_str(), text(saved->due).c_str());
        FUZZ_CHECK(saved->due == due);
    }
    if (!due)
        FUZZ_CHECK(!saved->due);
    if (allDay)
        FUZZ_CHECK(!saved->alarm);
    if (saved->alarm)
        FUZZ_CHECK(saved->alarm->unixSeconds() >= -62135596800.0 && saved->alarm->unixSeconds() <= 32535215999.0);
    if (plainDue && reminder.alarm && due->year >= 1900)
        FUZZ_CHECK(saved->alarm && saved->alarm->unixSeconds() == std::floor(reminder.alarm->unixSeconds()));
    return 0;
}
