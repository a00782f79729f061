#include "Platform/Linux/Xdg/DesktopEntry.h"

#include "Base/Text.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tavrelin::xdg {
namespace {

// What a person sees of the entries: the name in menus and session settings.
constexpr std::string_view name = "Tavrelin";
constexpr std::string_view comment = "Files reminders from the Tavrelin extension into your task lists";

constexpr std::string_view defaultsGroup = "[Default Applications]";

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

bool isGroupHeader(std::string_view line) {
    line = text::trimmed(line);
    return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

// "key = value" → key and value; none for comments, blanks and headers.
std::optional<std::pair<std::string_view, std::string_view>> keyValue(std::string_view line) {
    const std::string_view trimmed = text::trimmed(line);
    const std::size_t equals = trimmed.find('=');
    if (trimmed.empty() || trimmed.front() == '#' || equals == std::string_view::npos)
        return std::nullopt;
    return std::pair{text::trimmed(trimmed.substr(0, equals)), text::trimmed(trimmed.substr(equals + 1))};
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            out.emplace_back(text.substr(start));
            break;
        }
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

std::vector<std::string> ids(std::string_view value) {
    std::vector<std::string> out;
    for (std::string_view piece : text::split(value, ';'))
        if (std::string_view id = text::trimmed(piece); !id.empty())
            out.emplace_back(id);
    return out;
}

// Index range [first, end) of the default handlers' group's lines after its
// header, or none.
struct Group {
    std::size_t header, end;
};
std::optional<Group> defaultsGroupIn(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (text::trimmed(lines[i]) != defaultsGroup)
            continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !isGroupHeader(lines[end]))
            ++end;
        return Group{i, end};
    }
    return std::nullopt;
}

bool isKeyLine(std::string_view line, std::string_view key) {
    const auto pair = keyValue(line);
    return pair && pair->first == key;
}

// One argument of the Exec key, before the string escapes: quoted (with
// `"`, `` ` ``, `$` and `\` escaped) when it holds a reserved character, and
// `%` doubled.
std::string execArgument(std::string_view text) {
    constexpr std::string_view reserved = " \t\n\r\"'\\><~|&;$*?#()`";
    const bool quoted = text.empty() || text.find_first_of(reserved) != std::string_view::npos;
    std::string argument;
    if (quoted)
        argument += '"';
    for (char c : text) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            argument += '\\';
        argument += c;
        if (c == '%')
            argument += '%'; // not a field code
    }
    if (quoted)
        argument += '"';
    return argument;
}

std::string entry(std::string_view agentPath, std::string_view execSuffix, std::string_view extraKeys) {
    std::string text = "[Desktop Entry]\nType=Application\n";
    text += "Name=" + std::string(name) + "\n";
    text += "Comment=" + std::string(comment) + "\n";
    text += "Icon=" + std::string(iconName) + "\n";
    text += "Exec=" + execProgram(agentPath) + std::string(execSuffix) + "\n";
    // A launcher skips the entry once the program is gone, rather than fail.
    text += "TryExec=" + stringValue(agentPath) + "\n";
    // No window ever opens: a launch-feedback cursor would spin for nothing.
    text += "Terminal=false\nStartupNotify=false\n";
    text += extraKeys;
    return text;
}

} // namespace

std::string stringValue(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == ' ' && i == 0)
            out += "\\s"; // a leading blank would be taken for spacing
        else
            out += c;
    }
    return out;
}

std::string execProgram(std::string_view path) {
    if (!text::isValidUtf8(path))
        throw std::invalid_argument("the path is not UTF-8 text, which a desktop entry cannot hold");
    if (std::any_of(path.begin(), path.end(), [](char c) { return isControl(c) && c != '\n' && c != '\t' && c != '\r'; }))
        throw std::invalid_argument("the path holds control characters, which a desktop entry cannot hold");
    // GLib looks the program up before it turns %% back into %, and finds
    // none: such a path is run through the shell, by argument, never as text.
    if (path.find('%') != std::string_view::npos)
        return stringValue("/bin/sh -c " + execArgument("exec \"$0\" \"$@\"") + " " + execArgument(path));
    return stringValue(execArgument(path));
}

std::string loginEntry(std::string_view agentPath) {
    return entry(agentPath, "", "");
}

std::string linkHandlerEntry(std::string_view agentPath) {
    // Listed in the applications menu too: that is how a person who quit the
    // agent starts it again.
    return entry(agentPath, " %u", "MimeType=" + std::string(linkMimeType) + ";\nCategories=Utility;\n");
}

std::optional<std::string> value(std::string_view entry, std::string_view key) {
    bool inEntry = false;
    std::optional<std::string> found;
    for (const auto& line : lines(entry)) {
        if (isGroupHeader(line)) {
            inEntry = text::trimmed(line) == "[Desktop Entry]";
            continue;
        }
        if (!inEntry)
            continue;
        if (const auto pair = keyValue(line); pair && pair->first == key)
            found = std::string(pair->second);
    }
    if (!found)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < found->size(); ++i) {
        const char c = (*found)[i];
        if (c != '\\' || i + 1 == found->size()) {
            out += c;
            continue;
        }
        // Other escapes are kept whole, as desktops read them: an Exec
        // value's own quoting escapes come after these.
        switch (const char escaped = (*found)[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += escaped;
        }
    }
    return out;
}

std::vector<std::string> execArguments(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            word += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(std::exchange(word, {}));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    std::vector<std::string> arguments;
    for (std::string& each : words) {
        // A field code stands for what the launcher passes: nothing here.
        if (each.size() == 2 && each.front() == '%' && each.back() != '%')
            continue;
        for (std::size_t at = each.find("%%"); at != std::string::npos; at = each.find("%%", at + 1))
            each.erase(at, 1);
        arguments.push_back(each);
    }
    return arguments;
}

bool disabledInEntry(std::string_view text) {
    return value(text, "Hidden") == "true" || value(text, "X-GNOME-Autostart-enabled") == "false";
}

std::string withDefault(std::string_view list, std::string_view mimeType, std::string_view id) {
    std::vector<std::string> all = lines(list);
    const std::string line = std::string(mimeType) + "=" + std::string(id) + ";";
    const auto group = defaultsGroupIn(all);
    if (!group) {
        if (!all.empty() && !text::trimmed(all.back()).empty())
            all.emplace_back();
        all.emplace_back(defaultsGroup);
        all.push_back(line);
        return joined(all);
    }
    std::vector<std::size_t> found;
    std::size_t lastFilled = group->header;
    for (std::size_t i = group->header + 1; i < group->end; ++i) {
        if (isKeyLine(all[i], mimeType))
            found.push_back(i);
        if (!text::trimmed(all[i]).empty())
            lastFilled = i;
    }
    if (found.empty()) {
        all.insert(all.begin() + static_cast<std::ptrdiff_t>(lastFilled) + 1, line);
        return joined(all);
    }
    // Readers keep the last of repeated keys: one line, where that one was.
    all[found.back()] = line;
    for (auto i = found.rbegin() + 1; i != found.rend(); ++i)
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(*i));
    return joined(all);
}

std::optional<std::string> defaultFor(std::string_view list, std::string_view mimeType) {
    const std::vector<std::string> all = lines(list);
    const auto group = defaultsGroupIn(all);
    if (!group)
        return std::nullopt;
    std::optional<std::string> found;
    for (std::size_t i = group->header + 1; i < group->end; ++i)
        if (const auto pair = keyValue(all[i]); pair && pair->first == mimeType) {
            const auto listed = ids(pair->second);
            found = listed.empty() ? std::nullopt : std::optional(listed.front());
        }
    return found;
}

std::string withoutDefault(std::string_view list, std::string_view mimeType, std::string_view id) {
    std::vector<std::string> all = lines(list);
    const auto group = defaultsGroupIn(all);
    if (!group)
        return std::string(list);
    std::size_t end = group->end;
    for (std::size_t i = end; i-- > group->header + 1;) {
        const auto pair = keyValue(all[i]);
        if (!pair || pair->first != mimeType)
            continue;
        std::vector<std::string> listed = ids(pair->second);
        std::erase(listed, std::string(id));
        if (listed.empty()) {
            all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
            --end;
            continue;
        }
        std::string value;
        for (const auto& other : listed)
            value += other + ";";
        all[i] = std::string(mimeType) + "=" + value;
    }
    // A group left with nothing in it goes too.
    const bool empty = std::all_of(all.begin() + static_cast<std::ptrdiff_t>(group->header) + 1,
                                   all.begin() + static_cast<std::ptrdiff_t>(end),
                                   [](const std::string& line) { return text::trimmed(line).empty(); });
    if (empty) {
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(group->header), all.begin() + static_cast<std::ptrdiff_t>(end));
        while (!all.empty() && text::trimmed(all.back()).empty())
            all.pop_back();
    }
    return joined(all);
}

} // namespace tavrelin::xdg
