#include "app/core_setup.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace dovan {
namespace {

class NoPhones final : public ble::Adapter {
public:
    Result<std::unique_ptr<ble::Watcher>> create_watcher() override { return fail_text("none"); }
    Result<std::shared_ptr<ble::Device>> device_from_address(std::uint64_t) override { return fail_text("none"); }
};

struct StackCase {
    const char* what;
    bool adapter;
    bool simulated;
    const char* error;
    bool loopback_only;
};

// Only a real BLE stack serves a phone on the real network; the sim radio's phones and a
// program without a stack keep the LAN side on loopback.
TEST(ProgramCoreConfig, TakesTheStackAndWhatTheFrontEndHas) {
    const StackCase cases[] = {
        {"BlueZ", true, false, "", false},
        {"sim radio", true, true, "", true},
        {"no stack", false, false, "bluetoothd not running", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto ui = SharedUi::create(UiState{}, LoadedModules{0x1F});
        auto clipboard = std::make_shared<ProcessClipboard>();
        int repaints = 0;
        ble::PlatformAdapter platform;
        if (c.adapter) platform.adapter = std::make_shared<NoPhones>();
        platform.simulated = c.simulated;
        platform.error = c.error;
        const CoreConfig config =
            program_core_config({ui, "/data", 4242}, {clipboard, [&repaints] { ++repaints; }}, std::move(platform));
        EXPECT_EQ(config.ui, ui);
        EXPECT_EQ(config.data_dir, "/data");
        EXPECT_EQ(config.lan.port, 4242);
        EXPECT_EQ(config.clipboard, clipboard);
        ASSERT_TRUE(config.window);
        config.window();
        EXPECT_EQ(repaints, 1);
        EXPECT_EQ(config.ble != nullptr, c.adapter);
        EXPECT_EQ(config.ble_error, c.error);
        EXPECT_EQ(config.lan.loopback_only, c.loopback_only);
    }
}

}  // namespace
}  // namespace dovan
