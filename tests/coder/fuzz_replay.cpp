// SPDX-License-Identifier: GPL-3.0-or-later
// Replays every file of a fuzz target's corpus directory through the target's
// entry point, so that seeds and past crash inputs stay covered by the test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define KESTOVA_REPLAY_TEST(name) TEST(FuzzCorpusReplay, name)

KESTOVA_REPLAY_TEST(KESTOVA_FUZZ_NAME) {
    namespace fs = std::filesystem;
    const fs::path dir(KESTOVA_FUZZ_CORPUS);
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "empty corpus " << dir;
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An exact-size copy, so a read past the end is caught by ASan.
        std::vector<std::uint8_t> exact(data);
        SCOPED_TRACE(f.filename().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(exact.data(), exact.size()), 0);
    }
}
