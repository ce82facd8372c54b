// Replays a fuzz target without libFuzzer: every file of the corpus folders
// (or single files) given, then a fixed-seed sweep of mutations of them, so
// the run is the same on every machine. Seeds and every crash ever found stay
// in the corpus and so run in every ctest, also under the sanitizer builds.
//
//   NAME_replay [--sweep N] [--input-seconds S] CORPUS_DIR_OR_FILE...
//
// (default sweep: 20000). With --input-seconds, an input that runs longer
// than S seconds ends the run with its name: the harness can block.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {
unsigned gInputSeconds = 0;
char gCurrent[512] = "";  // what the time limit names when it strikes

void onInputTimeout(int) {
    static const char kHead[] = "replay: input ran past its time limit: ";
    (void)!write(2, kHead, sizeof kHead - 1);
    (void)!write(2, gCurrent, strlen(gCurrent));
    (void)!write(2, "\n", 1);
    _exit(3);
}

// A copy of exactly the input's size, so reading past it is caught.
void runOne(const std::string& s, const std::string& name) {
    snprintf(gCurrent, sizeof gCurrent, "%s", name.c_str());
    std::vector<uint8_t> exact(s.begin(), s.end());
    if (gInputSeconds > 0) alarm(gInputSeconds);
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    if (gInputSeconds > 0) alarm(0);
}
}  // namespace

int main(int argc, char** argv) {
    long sweep = 20000;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--sweep") == 0 && i + 1 < argc) {
            sweep = strtol(argv[++i], nullptr, 10);
            continue;
        }
        if (strcmp(argv[i], "--input-seconds") == 0 && i + 1 < argc) {
            gInputSeconds = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
            continue;
        }
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& e : fs::directory_iterator(arg, ec))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                    files.push_back(e.path());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> corpus;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (corpus.empty()) corpus.emplace_back("SP+STATE\r");
    if (gInputSeconds > 0) signal(SIGALRM, onInputTimeout);
    for (size_t i = 0; i < corpus.size(); i++)
        runOne(corpus[i], i < files.size() ? files[i].string() : "built-in seed");

    std::mt19937 rng(20240307);
    const char alphabet[] = "SPATsp+\r\n \0\x06xyz{}[]\":,";
    long runs = 0;
    for (long round = 0; round < sweep; round++) {
        std::string s = corpus[rng() % corpus.size()];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; e++) {
            size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
            switch (rng() % 4) {
                case 0: s.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
                case 1: if (pos < s.size()) s.erase(pos, 1); break;
                case 2: if (pos < s.size()) s[pos] = static_cast<char>(rng()); break;
                case 3: s.insert(pos, std::string(rng() % 600, static_cast<char>('A' + rng() % 26))); break;
            }
        }
        if (s.size() > 65536) s.resize(65536);
        runOne(s, "sweep mutation " + std::to_string(round) + " (seed 20240307)");
        runs++;
    }
    printf("%zu corpus inputs, %ld mutations: no fault\n", corpus.size(), runs);
    return 0;
}
