#pragma once
// What every fault scenario checks afterwards: no picture lost or changed
// (each is still in the transmit folder as it was made, or the cloud holds
// exactly its bytes), and the configuration file is whole.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "config_keys.h"

namespace robust {

inline std::string readAll(const std::string& path, bool* found = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (found) *found = static_cast<bool>(in);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// name -> bytes of every picture made so far.
using Pictures = std::map<std::string, std::string>;

// transmitDir and cloudDir end without a slash. Returns how many pictures are
// still waiting in the transmit folder.
inline size_t expectNoPictureLost(const Pictures& made, const std::string& transmitDir,
                                  const std::string& cloudDir, const std::string& when) {
    size_t waiting = 0;
    for (const auto& [name, bytes] : made) {
        // The folder first: a picture still there may be on its way up while
        // the cloud writes an earlier copy.
        bool there = false;
        std::string kept = readAll(transmitDir + "/" + name, &there);
        if (there) {
            EXPECT_EQ(kept.size(), bytes.size()) << name << " changed on the card " << when;
            EXPECT_TRUE(kept == bytes) << name << " changed on the card " << when;
            waiting++;
            continue;
        }
        bool received = false;
        std::string up = readAll(cloudDir + "/" + name, &received);
        EXPECT_TRUE(received) << name << " lost: neither on the card nor in the cloud " << when;
        if (received) {
            EXPECT_TRUE(up == bytes) << name << " reached the cloud changed (" << up.size()
                                     << " of " << bytes.size() << " bytes) " << when;
        }
    }
    return waiting;
}

inline void expectConfigWhole(const std::string& path, const std::string& when) {
    std::string wrong = configkeys::fileProblems(path);
    EXPECT_EQ(wrong, "") << "configuration file " << when;
}

}  // namespace robust
