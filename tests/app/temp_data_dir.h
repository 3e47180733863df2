// A private data directory for store tests: APPDATA points into a fresh temporary folder and
// every other variable that could place files (HOME included) is pinned or cleared, so no
// test can reach the real home directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace dovan::testing_support {

class ScopedEnv {
public:
    ScopedEnv() {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    static constexpr const char* kNames[] = {"APPDATA", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME",
                                             "USERPROFILE"};

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

class TempDataDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "dovan-store-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        for (const char* name : ScopedEnv::kNames) ScopedEnv::set(name, std::nullopt);
        ScopedEnv::set("HOME", (root_ / "home").string());
        ScopedEnv::set("APPDATA", (root_ / "appdata").string());
        dir_ = root_ / "appdata" / "Dovan";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::filesystem::path path(const char* file) const { return dir_ / file; }

    void put(const char* file, const std::string& content) const {
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / file, std::ios::binary) << content;
    }
    std::string get(const char* file) const {
        std::ifstream in(dir_ / file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static unsigned mode_of(const std::filesystem::path& p) {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0) return 0;
        return st.st_mode & 07777;
    }

    ScopedEnv env_;
    std::filesystem::path root_;
    std::filesystem::path dir_;
};

}  // namespace dovan::testing_support
