// Files from the PC to the phone: the send queue, one job at a time over the bound TCP
// channel, resumption on request, the phone's final answer and cancelling.
//
// Events: FileDoneReceived (when no receive session has the id), ResumeRequested, TransferInterrupted and TransferCancelled (for the current job).
// Requests: send_files, cancel (sending).
// Steps: FileSending.
#pragma once

#include "features/feature.h"

namespace dovan {

class FileSend final : public Feature {
public:
    explicit FileSend(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "file_send"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;

private:
    [[maybe_unused]] FeatureHost& host_;
};

}  // namespace dovan
