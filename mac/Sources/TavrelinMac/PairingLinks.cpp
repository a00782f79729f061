#include "TavrelinMac/PairingLinks.h"

#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Text.h"

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
                           std::function<void(const Pairing&)> startDelivery)
    : clock_(clock), pairingStore_(pairingStore), dialogs_(dialogs), startDelivery_(std::move(startDelivery)) {}

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

    std::string carried;
    if (names.empty()) {
        carried = "The link carried no parameters at all.";
    } else {
        carried = "The link carried: ";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0)
                carried += ", ";
            carried += names[i];
        }
        carried += ".";
    }

    (void)dialogs_.run({AlertStyle::warning,
                        "That pairing link did not work",
                        description + "\n\n" + carried + "\n\n" +
                            "Pairing links are meant to come from the Tavrelin extension, which fills in both the token "
                            "and the backend address. Typing one by hand is how they end up malformed.",
                        {}});
}

bool PairingLinks::isUsualBackend(const std::string& host) {
    return host == TAVRELIN_RELAY_HOST || host.starts_with("localhost") || host.starts_with("127.0.0.1");
}

bool PairingLinks::confirmFirstPair(const Pairing& incoming) {
    const std::string host = hostOf(incoming);
    Alert alert;
    if (isUsualBackend(host)) {
        alert = {AlertStyle::informational,
                 "Let this Mac collect your reminders?",
                 "Tavrelin for Mac will collect reminders from " + host +
                     " and create them in Apple Reminders on this Mac.\n\n"
                     "It never sees your email — only a title, a date, and a list name.",
                 {"Pair this Mac", "Cancel"}};
    } else {
        alert = {AlertStyle::critical,
                 "Pair this Mac with " + host + "?",
                 "This link would have your Mac collect reminders from " + host +
                     ", which is not Tavrelin's usual address.\n\n"
                     "That server would decide what gets written into your Reminders, and would be told the names of "
                     "your Reminders lists. If you did not just click Pair inside the Tavrelin extension, cancel.",
                 {"Pair anyway", "Cancel"}};
    }
    return dialogs_.run(alert) == platform::firstButton;
}

bool PairingLinks::confirmReplace(const Pairing& existing, const Pairing& incoming) {
    const std::string stored = hostOf(existing);
    const std::string arriving = hostOf(incoming);
    Alert alert;
    if (stored == arriving) {
        alert = {AlertStyle::warning,
                 "Replace this Mac’s pairing?",
                 "This replaces the pairing for " + stored +
                     " with a new one.\n\n"
                     "That is what you want if you just generated a token in the Tavrelin extension. Anything already "
                     "queued is safe either way — it stays on the backend until a device collects it.",
                 {"Replace", "Cancel"}};
    } else {
        alert = {AlertStyle::critical,
                 "Point this Mac at a different backend?",
                 "This Mac is collecting reminders from " + stored + ". The link you just opened would switch it to " +
                     arriving +
                     ".\n\n"
                     "If you did not just ask the Tavrelin extension to pair this Mac, cancel. Reminders queued on " +
                     stored + " would stop arriving.",
                 {"Switch backend", "Cancel"}};
    }
    return dialogs_.run(alert) == platform::firstButton;
}

void PairingLinks::notifyPaired(const Pairing& pairing) {
    (void)dialogs_.run({AlertStyle::informational,
                        "Tavrelin is paired",
                        "This Mac will collect reminders from " + hostOf(pairing) +
                            ". They usually arrive within a minute.\n\n"
                            "macOS will ask for permission to access Reminders the first time one arrives. Tavrelin lives "
                            "in the menu bar; there is no window.",
                        {}});
}

void PairingLinks::showPairingHelp() {
    (void)dialogs_.run({AlertStyle::informational,
                        "Pairing this Mac",
                        "Open the Tavrelin extension's options page in Chrome and use \"Pair Tavrelin for Mac\". That "
                        "sends this app both the backend address and the relay token in one step.\n\n"
                        "Both values have to come together on purpose. Typing them separately is how a Mac ends up "
                        "quietly polling the wrong backend while reminders pile up somewhere else.",
                        {}});
}

} // namespace tavrelin
