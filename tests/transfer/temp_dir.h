// A private directory under the test's own temporary folder, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"

namespace dovan::testing_support {

class TempDir {
public:
    TempDir() {
        std::string tmpl = ::testing::TempDir() + "dovan_transfer_XXXXXX";
        char* made = ::mkdtemp(tmpl.data());
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    std::filesystem::path write(const std::string& name, const Bytes& content) const {
        const auto p = path_ / name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        return p;
    }

private:
    std::filesystem::path path_;
};

// Content whose bytes differ at every chunk offset, so a shifted or repeated chunk shows.
inline Bytes patterned(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + i / 251) % 256);
    return b;
}

}  // namespace dovan::testing_support
