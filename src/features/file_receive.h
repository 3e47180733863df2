// Files from the phone: receive sessions with safe names, chunks checked and written in
// order, gaps asked for again, the finished file checked and announced, holds and cancels.
//
// Events: FileMetaReceived, FileDoneReceived, TransferInterrupted and TransferCancelled (for its sessions).
// Requests: cancel (receiving).
// Steps: ReceivedChunks, ReceiveHolds.
#pragma once

#include "features/feature.h"

namespace dovan {

class FileReceive final : public Feature {
public:
    explicit FileReceive(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "file_receive"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;

private:
    [[maybe_unused]] FeatureHost& host_;
};

}  // namespace dovan
