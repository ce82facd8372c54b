#pragma once
// A root tree with the card mounted read-write and the configuration and DSP
// records back at their start state.
#include <gtest/gtest.h>

#include <string>

#include "../support/roottree.h"
#include "camera/dsp_files.h"
#include "core/config.h"

class ConfigTree : public ::testing::Test {
protected:
    void SetUp() override {
        root.mountCard(1);
        daemonConfig() = DaemonConfig{};
        setCellularEnabled(false);
        resetDspFiles();
    }
    std::string configText() const { return root.read("/etc/trailnetd_conf.json"); }
    void writeConfig(const std::string& text) const { root.write("/etc/trailnetd_conf.json", text); }
    std::string log() const { return root.read("/media/sdcard/log.txt"); }
    bool logHas(const std::string& piece) const { return log().find(piece) != std::string::npos; }

    RootTree root;
};
