// Runs every file of a fuzz target's seed corpus and of its kept regression
// inputs through the target's checks. A failing check aborts with its
// message; the file being replayed is printed before it runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zelfuzz {
int GateOneInput(const uint8_t* data, size_t size);
int LinkOneInput(const uint8_t* data, size_t size);
}  // namespace zelfuzz

namespace {

namespace fs = std::filesystem;

// The files of fuzz/corpus/<target> and fuzz/regressions/<target>, sorted.
std::vector<fs::path> Inputs(const char* target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(ZELFX_FUZZ_DIR) / kind / target;
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
            if (e.is_regular_file()) {
                files.push_back(e.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

size_t Replay(const char* target, int (*oneInput)(const uint8_t*, size_t)) {
    const std::vector<fs::path> files = Inputs(target);
    for (const fs::path& file : files) {
        std::printf("replaying %s\n", file.c_str());
        std::fflush(stdout);
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        oneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    return files.size();
}

TEST(FuzzReplay, GateInputs) {
    EXPECT_GT(Replay("gate", zelfuzz::GateOneInput), 0u);
}

TEST(FuzzReplay, LinkInputs) {
    EXPECT_GT(Replay("link", zelfuzz::LinkOneInput), 0u);
}

}  // namespace
