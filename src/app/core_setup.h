// The core's configuration as the program builds it, in one place for both front ends, so
// the console and the window cannot wire the core differently. What only one front end has
// (its clipboard, the window's repaint) comes in as an argument of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "app/core.h"
#include "ble/adapter.h"
#include "platform/clipboard.h"
#include "shell/ui_state.h"

namespace dovan {

// What both front ends share: the UI state, the data folder and the command line's port.
struct ProgramParts {
    std::shared_ptr<SharedUi> ui;
    std::filesystem::path data_dir;
    std::uint16_t lan_port = kLanPort;
};

// What only the front end has.
struct FrontEndParts {
    // The local clipboard the phone's text is written to: the console's process clipboard or
    // the window's system clipboard. Every front end has one.
    std::shared_ptr<Clipboard> clipboard;
    // The window's repaint, callable from any thread; the console has none.
    RepaintFn repaint;
};

// `platform` is the BLE stack the program opened (ble::open_platform_adapter). The LAN side
// stays on loopback unless a real stack serves a phone on the real network.
CoreConfig program_core_config(const ProgramParts& program, FrontEndParts front_end, ble::PlatformAdapter platform);

}  // namespace dovan
