#pragma once
// A data directory of its own for each test, and a per-user key directory that isn't the
// real one, so the sealed password never touches the account running the tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/json_file.hpp"
#include "tests/unit/temp_dir.hpp"

class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("XDG_CONFIG_HOME")) saved_config_home = v;
        ::setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
    }
    void TearDown() override {
        if (saved_config_home)
            ::setenv("XDG_CONFIG_HOME", saved_config_home->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

    // The log's messages without their time stamps.
    std::vector<std::string> log_messages() const {
        std::vector<std::string> out;
        const auto text = kelvora::read_file(data.path / "kelvora.log").value_or("");
        for (std::size_t at = 0; at < text.size();) {
            auto nl = text.find('\n', at);
            if (nl == std::string::npos) nl = text.size();
            out.push_back(text.substr(at + 20, nl - at - 20)); // "YYYY-MM-DD HH:MM:SS "
            at = nl + 1;
        }
        return out;
    }
    kelvora::json file(const char* name) const {
        return kelvora::load_json_file_in(data.path, name).value_or(nullptr);
    }

    std::optional<std::string> saved_config_home;
    TempDir config;
    TempDir data;
};
