#include "TavrelinMac/RemindersStore.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using platform::DateComponents;

namespace {

struct Case {
    const char* text;
    bool allDay;
    std::optional<DateComponents> expected;
};

DateComponents day(std::int64_t y, std::int64_t m, std::int64_t d) {
    return {y, m, d, std::nullopt, std::nullopt};
}
DateComponents at(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h, std::int64_t min) {
    return {y, m, d, h, min};
}

std::string show(const std::optional<DateComponents>& c) {
    if (!c)
        return "none";
    auto part = [](const std::optional<std::int64_t>& v) { return v ? std::to_string(*v) : std::string("-"); };
    return part(c->year) + "/" + part(c->month) + "/" + part(c->day) + " " + part(c->hour) + ":" + part(c->minute);
}

} // namespace

TEST(DueDate, ReadsTheNumbersItCanFindAndIgnoresTheRest) {
    const Case cases[] = {
        {"2024-05-01", true, day(2024, 5, 1)},
        {"2024-05-01T14:30:00Z", true, day(2024, 5, 1)}, // time ignored for all-day items
        {"2024-05-01", false, at(2024, 5, 1, 9, 0)},
        {"2024-05-01T14:30:00Z", false, at(2024, 5, 1, 14, 30)},
        {"2024-05-01T14:30:00.000+02:00", false, at(2024, 5, 1, 14, 30)}, // offset not applied
        {"2024-05-01T14:30+02:00", false, at(2024, 5, 1, 14, 0)},         // pieces 14, "30+02", 00
        {"2024-05-01T14Z", false, at(2024, 5, 1, 9, 0)},
        {"2024-05-01T14", false, at(2024, 5, 1, 9, 0)},          // one number is not enough
        {"2024-05-01T::14::07::", false, at(2024, 5, 1, 14, 7)}, // empty pieces skipped
        {"2024-05-01T-3:+75", false, at(2024, 5, 1, -3, 75)},    // signs allowed, ranges not checked
        {"2024-05-01T14:30T45", false, at(2024, 5, 1, 9, 0)},    // "30T45" is not a number; 9:00 stays
        {"2024-05-01T14:30:T", false, at(2024, 5, 1, 14, 30)},
        {"2024-5-1", true, day(2024, 5, 1)},
        {"+2024-05-01", true, day(2024, 5, 1)},
        {"TT2024-05-01T08:15", false, at(2024, 5, 1, 8, 15)}, // leading T's skipped
        {"2024--05--01", true, day(2024, 5, 1)},
        {"20240501", true, std::nullopt},
        {"2024-05", true, std::nullopt},
        {"2024-05-01-06", true, std::nullopt}, // four numbers
        {"2024-05-01-extra", true, day(2024, 5, 1)},
        {"2024-05-01 14:30", false, std::nullopt},
        {"2024-05-01t14:30", false, std::nullopt},
        {"TTT", true, std::nullopt},
        {"", false, std::nullopt},
        {"T14:30", false, std::nullopt},
        {"2024-13-45T25:75", false, at(2024, 13, 45, 25, 75)},
        {"2024-+5-1", true, day(2024, 5, 1)},
        {"2024-++5-1", true, std::nullopt},
        {"2024-5.0-1", true, std::nullopt},
        {"2024- 5-1", true, std::nullopt},
        {"9223372036854775807-1-1", true, day(INT64_MAX, 1, 1)},
        {"9223372036854775808-1-1-2", true, day(1, 1, 2)}, // overflowing piece dropped
        {"2024-05-01T-9223372036854775808:99999999999999999999:5", false, at(2024, 5, 1, INT64_MIN, 5)},
        {"\xD9\xA2\xD9\xA0-1-1", true, std::nullopt}, // Arabic-Indic digits are not decimal digits here
    };
    for (const auto& c : cases) {
        auto got = RemindersStore::dueComponents(c.text, c.allDay);
        EXPECT_EQ(got, c.expected) << "\"" << c.text << "\" allDay=" << c.allDay << ": got " << show(got) << ", expected "
                                   << show(c.expected);
    }
}
