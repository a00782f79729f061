#pragma once

// Fakes the update pipeline needs beyond the common fake platform.

#include "Platform/Bundle.h"
#include "Platform/BundleInfo.h"
#include "Platform/Processes.h"

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::fake {

// Information of bundles on disk, by bundle path.
class FakeBundleInfo final : public platform::BundleInfoReader {
public:
    std::optional<std::map<std::string, std::string>> infoStrings(const std::string& bundlePath) const override {
        auto it = bundles.find(bundlePath);
        if (it == bundles.end())
            return std::nullopt;
        return it->second;
    }
    std::map<std::string, std::map<std::string, std::string>> bundles;
};

// Records every program started; answers through `responder`.
class FakeProcesses final : public platform::Processes {
public:
    struct Call {
        std::string program;
        std::vector<std::string> arguments;
        bool detached;
    };
    platform::ProcessResult run(const std::string& program, const std::vector<std::string>& arguments) override {
        calls.push_back({program, arguments, false});
        return responder ? responder(calls.back()) : platform::ProcessResult{0, {}};
    }
    void launchDetached(const std::string& program, const std::vector<std::string>& arguments) override {
        calls.push_back({program, arguments, true});
        if (responder)
            responder(calls.back());
    }
    std::vector<Call> calls;
    std::function<platform::ProcessResult(const Call&)> responder; // may throw ProcessError
};

// Answers from a table; an input missing from it is a test error.
class FakeDigest final : public platform::Digest {
public:
    std::string sha256Hex(const std::string& bytes) const override {
        auto it = table.find(bytes);
        if (it == table.end())
            throw std::logic_error("FakeDigest has no digest for this input");
        return it->second;
    }
    std::map<std::string, std::string> table;
};

} // namespace tavrelin::fake
