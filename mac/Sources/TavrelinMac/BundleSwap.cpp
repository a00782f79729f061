#include "TavrelinMac/BundleSwap.h"

#include "Base/Text.h"

#include <exception>

namespace tavrelin {

BundleSwap::BundleSwap(platform::Files& files, std::string destination, std::string_view purpose) : files_(files) {
    const text::PathParts parts = text::splitPath(destination);
    folder_ = parts.folder;
    destination_ = folder_ + "/" + parts.name;
    staged_ = folder_ + "/." + parts.name + "." + std::string(purpose);
    previous_ = folder_ + "/." + parts.name + ".previous";
}

void BundleSwap::removeQuietly(const std::string& path) noexcept {
    try {
        if (files_.exists(path))
            files_.remove(path);
    } catch (const std::exception&) {
        // A leftover is harmless: the next attempt removes it first.
    }
}

void BundleSwap::discard() noexcept {
    removeQuietly(staged_);
}

void BundleSwap::stage(const std::string& source, Take take) {
    try {
        if (files_.exists(staged_))
            files_.remove(staged_); // left by an interrupted attempt
        bool moved = false;
        if (take == Take::move) {
            try {
                files_.rename(source, staged_);
                moved = true;
            } catch (const platform::FileError&) {
                // Another file system: copied instead, below.
            }
        }
        if (!moved)
            files_.copy(source, staged_);
        // On disk before anything is swapped: a crash then leaves one whole
        // copy or the other, never a new one with empty files.
        files_.syncTree(staged_);
        files_.syncFolder(folder_);
    } catch (...) {
        discard();
        throw;
    }
}

void BundleSwap::swap() {
    const bool hadOldCopy = files_.exists(destination_);
    try {
        if (hadOldCopy) {
            if (files_.exists(previous_))
                files_.remove(previous_);
            files_.rename(destination_, previous_);
        }
        files_.rename(staged_, destination_);
    } catch (...) {
        if (hadOldCopy && !files_.exists(destination_) && files_.exists(previous_)) {
            try {
                files_.rename(previous_, destination_);
            } catch (const std::exception&) {
                // The original failure is the one worth reporting.
            }
        }
        discard();
        throw;
    }
    try {
        files_.syncFolder(folder_);
    } catch (const std::exception&) {
        // The new copy is in place; only its durability across a crash is in
        // doubt, and the old copy is still beside it until the next line.
    }
    removeQuietly(previous_);
}

std::string installBundleInto(platform::Files& files, const std::string& source, const std::string& folder,
                              const std::function<void()>& beforeSwap) {
    const text::PathParts from = text::splitPath(source);
    const text::PathParts into = text::splitPath(folder); // trailing "/"s aside
    BundleSwap swap(files, into.folder + "/" + into.name + "/" + from.name, "installing");
    if (from.folder + "/" + from.name == swap.destination())
        throw platform::FileError("“" + swap.destination() + "” is the copy being installed");
    files.createDirectories(into.folder + "/" + into.name);
    swap.stage(source, BundleSwap::Take::copy);
    try {
        beforeSwap();
    } catch (...) {
        swap.discard();
        throw;
    }
    swap.swap();
    return swap.destination();
}

} // namespace tavrelin
