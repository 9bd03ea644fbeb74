// standin_fixture.h - a temporary directory and a saved environment for the stand-in's platform tests.
// Each test works below its own directory and puts HOME, XDG_DATA_HOME and LOCALAPPDATA back when done.
#pragma once

#include "platform/posix/standin_internal.h"
#include "platform/win32.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Saves the named variables and restores them (or unsets them again) at the end of the scope.
class SavedEnvironment {
public:
    SavedEnvironment() {
        for (const char* name : {"LOCALAPPDATA", "HOME", "XDG_DATA_HOME", "VOSKE_STANDIN_TEST"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~SavedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh directory for one test; HOME, XDG_DATA_HOME and LOCALAPPDATA point into it while it lives.
class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/voske-standin-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        root_ = buffer.data();
        setenv("HOME", root_.c_str(), 1);
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
        setenv("LOCALAPPDATA", root_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // POSIX and Windows forms of a path below the test's directory.
    std::string Posix(const std::string& relative) const { return root_ + "/" + relative; }
    std::wstring Win(const std::string& relative) const { return posix::ToWindowsPath(Posix(relative)); }

    std::string root_;
    SavedEnvironment environment_;
};
