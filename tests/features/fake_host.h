// A feature host for one module under test: a fake clock, an engine that may come and go,
// the shared UI state, and the notices pushed, in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "features/feature.h"

namespace dovan {

class FakeFeatureHost final : public FeatureHost {
public:
    FakeFeatureHost(FakeClock& clock, Engine* engine, std::shared_ptr<SharedUi> ui, LoadedModules modules)
        : engine_(engine), clock_(clock), ui_(std::move(ui)), modules_(modules) {}
    Clock& clock() override { return clock_; }
    Engine* engine() override { return engine_; }
    SharedUi& ui() override { return *ui_; }
    LoadedModules modules() const override { return modules_; }
    void push_notice(std::string_view text) override {
        notices.emplace_back(text);
        ui_->lock()->add_notice(text);
    }
    void request_repaint() override {}
    void save_settings() override {}
    const std::filesystem::path& data_dir() const override { return dir_; }

    Engine* engine_;
    std::vector<std::string> notices;

private:
    FakeClock& clock_;
    std::shared_ptr<SharedUi> ui_;
    LoadedModules modules_;
    std::filesystem::path dir_;
};

}  // namespace dovan
