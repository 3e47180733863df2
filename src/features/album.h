// The phone's photo album: pages, thumbnails and export of the originals, paced while the
// album page is shown.
//
// Events: AlbumListReceived, AlbumThumbReceived, AlbumListRequested, AlbumThumbRequested, AlbumFullRequested.
// Requests: album_page, album_export, album_drag, thumbnail_wanted.
// Steps: Album.
#pragma once

#include "features/feature.h"

namespace dovan {

class Album final : public Feature {
public:
    explicit Album(FeatureHost& host) : host_(host) {}

    std::string_view name() const override { return "album"; }
    bool on_event(const AppEvent& event) override;
    void on_requests(UiRequests& requests) override;
    void step(TurnStep at, Instant now) override;

private:
    FeatureHost& host_;
};

}  // namespace dovan
