// Helpers of the live input tests: capturing what the logger prints, scratch files, and reading
// the media fixtures.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace livetest {

// Runs fn and returns what was printed on stdout meanwhile (the logger's screen output).
template <typename Fn>
std::string Captured(Fn fn) {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

inline int CountOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

// A temporary folder removed at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/mvlivetest.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) m_dir = tmpl;
    }
    ~ScratchDir() {
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
    }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = m_dir + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        return path;
    }
    const std::string& Path() const { return m_dir; }

private:
    std::string m_dir;
};

inline std::vector<uint8_t> Fixture(const std::string& name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace livetest
