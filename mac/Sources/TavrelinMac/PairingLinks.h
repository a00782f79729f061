#pragma once

#include "Platform/Clock.h"
#include "Platform/RemindersDatabase.h"
#include "TavrelinMac/DialogGate.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/Url.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace tavrelin {

// The road of a pairing link: queued until launch is done and while any
// dialog is open, then parsed, confirmed, saved and handed to delivery, one
// link at a time in arrival order. Main thread only.
class PairingLinks {
public:
    // `startDelivery` starts every module with an accepted pairing; `place`
    // tells where the reminders go, for the dialogs to name it.
    PairingLinks(const platform::Clock& clock, PairingStore& pairingStore, DialogGate& dialogs,
                 std::function<void(const Pairing&)> startDelivery, std::function<platform::RemindersPlace()> place);

    // A link from the system. Before launch is done only the latest is kept.
    void receive(const Url& url);
    // Launch is done: answers the link kept meanwhile, if any, for the caller
    // to hand to handle() once it has done its own steps.
    std::optional<Url> becomeReady();
    bool hasQueuedLink() const { return pendingPairURL_.has_value(); }
    // Handles the links that waited for a dialog to close.
    void handleWaiting();

    void handle(const Url& url);
    bool confirmFirstPair(const Pairing& incoming);
    bool confirmReplace(const Pairing& existing, const Pairing& incoming);
    void notifyPaired(const Pairing& pairing);
    void showPairingHelp();

    // The trusted-host test of a first pairing.
    static bool isUsualBackend(const std::string& host);

private:
    void reject(const std::string& description, const Url& link);

    const platform::Clock& clock_;
    PairingStore& pairingStore_;
    DialogGate& dialogs_;
    std::function<void(const Pairing&)> startDelivery_;
    std::function<platform::RemindersPlace()> place_;
    bool isReady_ = false;
    std::optional<Url> pendingPairURL_; // before ready
    std::deque<Url> waiting_;           // after ready, while a dialog is open
    bool handling_ = false;
};

} // namespace tavrelin
