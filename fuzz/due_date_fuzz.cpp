// Arbitrary due texts, timed and all-day, read into date components and
// turned into the alarm moment in the local zone. The reading is forgiving
// but must be consistent: a result written back as text reads the same.

#include "Check.h"
#include "Platform/Posix/SystemClock.h"
#include "TavrelinMac/RemindersStore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

using namespace tavrelin;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with daylight saving time, so the local conversion has gaps and overlaps to get wrong.
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks all-day or timed; the rest is the text.
    const bool allDay = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto components = RemindersStore::dueComponents(text, allDay);
    if (!components)
        return 0;

    FUZZ_CHECK(components->year && components->month && components->day);
    FUZZ_CHECK(!components->hour == allDay && !components->minute == allDay);
    // "-" separates the date's numbers, so none of them can be negative.
    FUZZ_CHECK(*components->year >= 0 && *components->month >= 0 && *components->day >= 0);

    std::string written =
        std::to_string(*components->year) + "-" + std::to_string(*components->month) + "-" + std::to_string(*components->day);
    if (!allDay)
        written += "T" + std::to_string(*components->hour) + ":" + std::to_string(*components->minute);
    FUZZ_CHECK(RemindersStore::dueComponents(written, allDay) == components);

    static const posix::SystemClock clock;
    if (auto moment = clock.localDate(*components)) {
        FUZZ_CHECK(moment->sinceReferenceDate == moment->sinceReferenceDate); // not NaN
        // A date in the usual ranges comes back whole from the local calendar.
        const bool plain = *components->year >= 1970 && *components->year <= 2100 && *components->month >= 1 &&
                           *components->month <= 12 && *components->day >= 1 && *components->day <= 28 &&
                           (allDay || (*components->hour >= 0 && *components->hour <= 23 && *components->minute >= 0 &&
                                       *components->minute <= 59));
        if (plain) {
            const std::time_t seconds = static_cast<std::time_t>(moment->unixSeconds());
            std::tm local{};
            ::localtime_r(&seconds, &local);
            FUZZ_CHECK(local.tm_year + 1900 == *components->year && local.tm_mon + 1 == *components->month &&
                       local.tm_mday == *components->day);
        }
    }
    return 0;
}
