// Runs a fuzz target's entry point over files and folders of inputs, so the
// seed corpus and every crash ever found replay in the ordinary test suite
// (and under its sanitizer builds) without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace fs = std::filesystem;

static int replayFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot read %s\n", p.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so reading past it is caught.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return 0;
}

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    int failures = 0;
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        std::vector<fs::path> files;
        if (fs::is_directory(arg)) {
            for (const auto& e : fs::directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
        } else {
            files.push_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            failures += replayFile(f);
            count++;
        }
    }
    printf("replay: %zu inputs, %d unreadable\n", count, failures);
    if (count == 0) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
