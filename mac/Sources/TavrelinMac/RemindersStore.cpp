#include "TavrelinMac/RemindersStore.h"

#include "Base/Text.h"
#include "TavrelinMac/Words.h"

#include <algorithm>
#include <charconv>
#include <exception>

namespace tavrelin {

using platform::RemindersAuthorization;

namespace {

// An optional sign and one or more decimal digits that fit 64 bits; anything
// else (spaces, letters, a decimal point) is not a number at all.
std::optional<std::int64_t> integer(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    // from_chars takes a minus sign but not a plus sign.
    std::string_view parsed = piece.front() == '+' ? digits : piece;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
    if (error != std::errc() || end != parsed.data() + parsed.size())
        return std::nullopt;
    return value;
}

// The integers among the non-empty pieces between separators, in order.
std::vector<std::int64_t> numbers(std::string_view text, char separator) {
    std::vector<std::int64_t> result;
    for (std::string_view piece : text::split(text, separator))
        if (auto value = integer(piece))
            result.push_back(*value);
    return result;
}

} // namespace

void RemindersStore::useDatabase(platform::RemindersDatabase& database) {
    database_ = &database;
    didPrompt_ = false;
    lastAnswer_.reset();
    lists_.reset();
    listsProblem_.reset();
}

RemindersStore::Access RemindersStore::requestAccess() {
    lists_.reset();
    listsProblem_.reset();
    switch (database_->authorizationStatus()) {
    case RemindersAuthorization::restricted:
    case RemindersAuthorization::denied:
        return Access::denied();
    case RemindersAuthorization::fullAccess:
        return Access::granted();
    case RemindersAuthorization::notDetermined:
    case RemindersAuthorization::writeOnly:
        break;
    }
    // Ask once per process; later polls get the same answer until the user
    // changes the permission, which the status above then reflects.
    if (didPrompt_ && lastAnswer_)
        return *lastAnswer_;
    didPrompt_ = true;
    lastAnswer_ = prompt();
    return *lastAnswer_;
}

RemindersStore::Access RemindersStore::prompt() {
    try {
        return database_->requestFullAccess() == platform::RemindersAccessAnswer::granted ? Access::granted()
                                                                                          : Access::denied();
    } catch (const std::exception& error) {
        return Access::failed(error.what());
    }
}

RemindersStore::WriteResult RemindersStore::create(const std::string& title, const std::optional<std::string>& notes,
                                                   const std::optional<std::string>& dueIso, bool allDay,
                                                   const std::optional<std::string>& listName, const std::string& deliveryKey,
                                                   const std::string& earlierDeliveryKey) {
    if (!listName || listName->empty())
        return WriteResult::noList();

    platform::NewReminder reminder;
    // Once per poll: a list made since the last poll is found at this one.
    if (!lists_ && !listsProblem_) {
        try {
            lists_ = database_->lists();
        } catch (const std::exception& error) {
            listsProblem_ = error.what();
        }
    }
    if (listsProblem_)
        return WriteResult::failed(*listsProblem_);
    // The first list the database reports wins when titles repeat.
    auto picked = std::find_if(lists_->begin(), lists_->end(), [&](const platform::ReminderList& list) {
        return text::canonicallyEqual(list.title, *listName);
    });
    if (picked == lists_->end())
        return WriteResult::unknownList(*listName);
    reminder.listIdentifier = picked->identifier;
    const std::string pickedTitle = picked->title;

    reminder.title = title;
    reminder.deliveryKey = deliveryKey;
    reminder.earlierDeliveryKey = earlierDeliveryKey;
    if (notes && !notes->empty())
        reminder.notes = notes;
    if (dueIso && !dueIso->empty()) {
        if (auto components = dueComponents(*dueIso, allDay)) {
            reminder.due = components;
            if (!allDay)
                reminder.alarm = clock_.localDate(*components);
        }
    }

    std::string identifier;
    try {
        identifier = database_->save(reminder);
    } catch (const std::exception& error) {
        return WriteResult::failed(error.what());
    }

    // A lookup that fails says why (a server that stopped answering); one
    // that finds nothing is the read-back failure itself.
    std::optional<platform::SavedReminder> readBack;
    try {
        readBack = database_->reminder(identifier);
    } catch (const std::exception& error) {
        return WriteResult::failed(error.what());
    }
    if (!readBack)
        return WriteResult::failed(words::module::notReadBack());
    return WriteResult::saved(readBack->listTitle.value_or(pickedTitle));
}

std::vector<std::string> RemindersStore::listNames() const {
    std::vector<std::string> names;
    for (const auto& list : database_->lists())
        names.push_back(list.title);
    return names;
}

void RemindersStore::createList(const std::string& name) {
    database_->createList(name);
}

std::optional<platform::DateComponents> RemindersStore::dueComponents(std::string_view dueIso, bool allDay) {
    // Only a capital T separates date and time; leading ones are skipped.
    std::size_t first = dueIso.find_first_not_of('T');
    if (first == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = dueIso.substr(first);
    std::size_t separator = rest.find('T');
    std::string_view datePart = rest.substr(0, separator);
    std::optional<std::string_view> timePart;
    if (separator != std::string_view::npos && separator + 1 < rest.size())
        timePart = rest.substr(separator + 1);

    auto date = numbers(datePart, '-');
    if (date.size() != 3)
        return std::nullopt;
    platform::DateComponents components;
    components.year = date[0];
    components.month = date[1];
    components.day = date[2];
    if (allDay)
        return components;

    components.hour = 9;
    components.minute = 0;
    if (timePart) {
        auto time = numbers(*timePart, ':');
        if (time.size() >= 2) {
            components.hour = time[0];
            components.minute = time[1];
        }
    }
    return components;
}

} // namespace tavrelin
