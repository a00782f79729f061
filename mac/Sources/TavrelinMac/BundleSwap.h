#pragma once

#include "Platform/Files.h"

#include <functional>
#include <string>
#include <string_view>

namespace tavrelin {

// Replaces a bundle at its place without ever leaving half of one there: the
// new copy is put together beside the place under a hidden name (on the same
// file system, so that every later step is a rename), complete and flushed
// to disk; then the old copy is set aside, the new one renamed in, and the
// old one removed, or put back when the new one could not go in.
//
// The move to Applications and `--install-into` stage and swap in one go;
// an update stages here and leaves the renames to its install script, which
// runs once the agent has quit.
class BundleSwap {
public:
    // `purpose` names the hidden copy: ".<name>.<purpose>" beside `destination`.
    BundleSwap(platform::Files& files, std::string destination, std::string_view purpose);

    const std::string& destination() const { return destination_; }
    const std::string& staged() const { return staged_; }
    const std::string& previous() const { return previous_; }

    // Puts `source` at the staged place, complete and flushed. Whatever an
    // earlier attempt left there goes first; after a failure nothing is left.
    // A move renames, or copies where the source is on another file system.
    // Throws the file system's error.
    enum class Take { copy, move };
    void stage(const std::string& source, Take take);

    // Swaps the staged copy in. Throws the failure, with the old copy (if
    // there was one) back at the destination and nothing left beside it.
    void swap();

    // Removes the staged copy, if any; its own failure is not reported.
    void discard() noexcept;

private:
    void removeQuietly(const std::string& path) noexcept;

    platform::Files& files_;
    std::string folder_, destination_, staged_, previous_;
};

// `--install-into FOLDER`: the bundle at `source` as FOLDER/<its name>.
// Staged first; then `beforeSwap` asks a running agent to quit and waits until
// it is gone (throwing when it stays); then the swap. Answers the installed
// bundle's path. Throws with the reason, leaving whatever was there unchanged.
std::string installBundleInto(platform::Files& files, const std::string& source, const std::string& folder,
                              const std::function<void()>& beforeSwap);

} // namespace tavrelin
