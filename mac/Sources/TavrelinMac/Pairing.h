#pragma once

#include "Platform/Date.h"
#include "Platform/Files.h"
#include "TavrelinMac/Url.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrelin {

// The binding of this agent to one relay backend.
struct Pairing {
    std::string apiBase; // no trailing "/"; request paths are appended textually
    std::string token;   // begins with "rk_"
    platform::Date pairedAt;
    bool operator==(const Pairing&) const = default;
};

// Why a pairing link was refused; what() is the sentence shown to the user.
class PairingError : public std::runtime_error {
public:
    enum class Kind { notPairURL, missingToken, missingApi, badToken, badApi };

    static PairingError notPairURL();
    static PairingError missingToken();
    static PairingError missingApi();
    static PairingError badToken();
    static PairingError badApi(std::string detail);

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

private:
    PairingError(Kind kind, std::string description, std::string detail = {})
        : std::runtime_error(std::move(description)), kind_(kind), detail_(std::move(detail)) {}
    Kind kind_;
    std::string detail_;
};

struct PairingParser {
    // Validates a tavrelin://pair?token=…&api=… link; `now` becomes pairedAt.
    // Throws PairingError at the first failed check.
    static Pairing parse(const Url& link, platform::Date now);
};

class PairingStore {
public:
    virtual ~PairingStore() = default;
    // None when missing, unreadable or not a pairing; never throws.
    virtual std::optional<Pairing> load() const = 0;
    // Throws platform::FileError.
    virtual void save(const Pairing& pairing) = 0;
    // Removes the file if present. Throws platform::FileError.
    virtual void clear() = 0;
    virtual std::string location() const = 0;
};

// pairing.json in the "Tavrelin" folder of the per-user data folder, owner-only.
class FilePairingStore final : public PairingStore {
public:
    explicit FilePairingStore(platform::Files& files) : files_(files) {}

    std::optional<Pairing> load() const override;
    void save(const Pairing& pairing) override;
    void clear() override;
    std::string location() const override;

    // Compact JSON with "/" written as "\/" and pairedAt in seconds since 2001.
    static std::string encode(const Pairing& pairing);
    static std::optional<Pairing> decode(std::string_view bytes);

    // Larger files are not pairings and are not read whole.
    static constexpr std::size_t maxFileBytes = 64 * 1024;

private:
    std::string directory() const;
    platform::Files& files_;
};

} // namespace tavrelin
