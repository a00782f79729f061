#include "TavrelinMac/PairingLinks.h"

#include "Base/Text.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Words.h"

#include <algorithm>
#include <exception>
#include <utility>

#ifndef TAVRELIN_RELAY_HOST
#error "TAVRELIN_RELAY_HOST must name the usual relay backend host"
#endif

namespace tavrelin {

using platform::Alert;
using platform::AlertStyle;

namespace {

std::string hostOf(const Pairing& pairing) {
    return hostOfPairing(pairing.apiBase);
}

} // namespace

PairingLinks::PairingLinks(const platform::Clock& clock, PairingStore& pairingStore, DialogGate& dialogs,
                           std::function<void(const Pairing&)> startDelivery, std::function<platform::RemindersPlace()> place)
    : clock_(clock), pairingStore_(pairingStore), dialogs_(dialogs), startDelivery_(std::move(startDelivery)),
      place_(std::move(place)) {}

void PairingLinks::receive(const Url& url) {
    if (!isReady_) {
        Log::info("pairing link arrived before launch finished; queued");
        pendingPairURL_ = url;
        return;
    }
    waiting_.push_back(url);
    handleWaiting();
}

std::optional<Url> PairingLinks::becomeReady() {
    isReady_ = true;
    return std::exchange(pendingPairURL_, std::nullopt);
}

void PairingLinks::handleWaiting() {
    // A link is never handled inside another dialog's nested loop: it would
    // answer against a pairing about to change, and its dialog would stack.
    if (handling_ || dialogs_.isOpen())
        return;
    handling_ = true;
    while (!waiting_.empty() && !dialogs_.isTerminating()) {
        Url link = std::move(waiting_.front());
        waiting_.pop_front();
        handle(link);
    }
    handling_ = false;
}

void PairingLinks::handle(const Url& url) {
    Pairing incoming;
    try {
        incoming = PairingParser::parse(url, clock_.now());
    } catch (const PairingError& error) {
        reject(error.what(), url);
        return;
    }

    // The file, not memory: it is what the next launch will restore.
    if (auto existing = pairingStore_.load()) {
        if (!confirmReplace(*existing, incoming)) {
            if (!dialogs_.isTerminating())
                Log::info("pairing link declined; keeping " + hostOf(*existing));
            return;
        }
    } else if (!confirmFirstPair(incoming)) {
        if (!dialogs_.isTerminating())
            Log::info("first pairing declined for " + hostOf(incoming));
        return;
    }

    try {
        pairingStore_.save(incoming);
    } catch (const std::exception& error) {
        reject(error.what(), url);
        return;
    }

    Log::info("paired with " + hostOf(incoming));
    startDelivery_(incoming);
    notifyPaired(incoming);
}

void PairingLinks::reject(const std::string& description, const Url& link) {
    Log::warn("pairing rejected: " + description);

    std::vector<std::string> names;
    for (auto& item : link.queryItems())
        names.push_back(std::move(item.name));
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return text::codePointLess(a, b); });

    (void)dialogs_.run(
        {AlertStyle::warning, words::pairing::rejectedTitle(), words::pairing::rejectedText(description, names), {}});
}

bool PairingLinks::isUsualBackend(const std::string& host) {
    return host == TAVRELIN_RELAY_HOST || host.starts_with("localhost") || host.starts_with("127.0.0.1");
}

bool PairingLinks::confirmFirstPair(const Pairing& incoming) {
    const std::string host = hostOf(incoming);
    Alert alert;
    if (isUsualBackend(host)) {
        alert = {AlertStyle::informational,
                 words::pairing::trustedTitle(),
                 words::pairing::trustedText(host, place_()),
                 {words::pairing::pairButton(), words::cancel()}};
    } else {
        alert = {AlertStyle::critical,
                 words::pairing::untrustedTitle(host),
                 words::pairing::untrustedText(host, place_()),
                 {words::pairing::pairAnyway(), words::cancel()}};
    }
    return dialogs_.run(alert) == platform::firstButton;
}

bool PairingLinks::confirmReplace(const Pairing& existing, const Pairing& incoming) {
    const std::string stored = hostOf(existing);
    const std::string arriving = hostOf(incoming);
    Alert alert;
    if (stored == arriving) {
        alert = {AlertStyle::warning,
                 words::pairing::replaceTitle(),
                 words::pairing::replaceText(stored),
                 {words::pairing::replaceButton(), words::cancel()}};
    } else {
        alert = {AlertStyle::critical,
                 words::pairing::switchTitle(),
                 words::pairing::switchText(stored, arriving),
                 {words::pairing::switchButton(), words::cancel()}};
    }
    return dialogs_.run(alert) == platform::firstButton;
}

void PairingLinks::notifyPaired(const Pairing& pairing) {
    (void)dialogs_.run(
        {AlertStyle::informational, words::pairing::pairedTitle(), words::pairing::pairedText(hostOf(pairing), place_()), {}});
}

void PairingLinks::showPairingHelp() {
    (void)dialogs_.run({AlertStyle::informational, words::pairing::helpTitle(), words::pairing::helpText(), {}});
}

} // namespace tavrelin
