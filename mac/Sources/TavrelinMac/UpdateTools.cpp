#include "TavrelinMac/UpdateTools.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <exception>

namespace tavrelin::updatetools {

std::string trimmedOutput(std::string_view bytes) {
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    // Valid throughout, and where the first and last non-space characters are.
    int32_t begin = -1, end = 0;
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0)
            return {};
        if (!u_isUWhiteSpace(c)) {
            if (begin < 0)
                begin = start;
            end = i;
        }
    }
    if (begin < 0)
        return {};
    return std::string(bytes.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

ShellResult shell(platform::Processes& processes, const std::string& path, const std::vector<std::string>& arguments) {
    try {
        platform::ProcessResult result = processes.run(path, arguments);
        return {result.status == 0, trimmedOutput(result.output)};
    } catch (const std::exception& error) {
        return {false, error.what()};
    }
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string installScript(const std::string& current, const std::string& previous, const std::string& fresh,
                          const std::string& staging) {
    const std::string c = quoted(current), p = quoted(previous), n = quoted(fresh), s = quoted(staging);
    return "sleep 1\nrm -rf " + p + "\nif mv " + c + " " + p + " && mv " + n + " " + c + "; then\n  rm -rf " + p +
           "\nelse\n  [ -d " + c + " ] || mv " + p + " " + c + "\nfi\nrm -rf " + s + "\n" + reopenCommand(current);
}

} // namespace tavrelin::updatetools
