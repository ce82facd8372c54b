// Replays a fuzz target without libFuzzer: every file of the corpus folder
// given, then a fixed-seed sweep of mutations of them, so the run is the same
// on every machine.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::string> corpus;
    for (int i = 1; i < argc; i++) {
        DIR* d = opendir(argv[i]);
        if (d == nullptr) {
            fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
        closedir(d);
    }
    if (corpus.empty()) corpus.emplace_back("SP+STATE\r");
    for (const auto& c : corpus)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(c.data()), c.size());

    std::mt19937 rng(20240307);
    const char alphabet[] = "SPATsp+\r\n \0\x06xyz";
    size_t runs = 0;
    for (int round = 0; round < 20000; round++) {
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
        if (s.size() > 1024) s.resize(1024);  // one read is at most 1024 bytes
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        runs++;
    }
    printf("%zu corpus inputs, %zu mutations: no fault\n", corpus.size(), runs);
    return 0;
}
