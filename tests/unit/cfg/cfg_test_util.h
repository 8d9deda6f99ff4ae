// Helpers of the configuration tests: a temporary folder for configuration files and a load
// that returns what the logger printed meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cfg.h"

class CfgFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mvcfgtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Write(const std::string& name, const std::string& content) {
        std::string path = m_dir + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        return path;
    }

    // Loads 'text' as a configuration file into 'conf'; returns the captured log output.
    std::string Load(ITGMainConf& conf, const std::string& text, bool initial = true,
                     bool* result = nullptr) {
        std::string path = Write("test.cfg", text);
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        bool ok = ITGLoadConfigInto(conf, path.c_str(), initial);
        fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (result != nullptr) *result = ok;
        return out;
    }

    std::string m_dir;
};

inline int CountOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}
