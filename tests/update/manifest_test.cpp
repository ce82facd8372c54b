#include <gtest/gtest.h>

#include <string>

#include "update/manifest.h"

namespace {

TEST(Manifest, ReadsEveryMember) {
    UpdateManifest m = parseManifest(
        "{\"keepUpdateFile\": 1, \"doBackup\": 0, \"dsp\": {\"version\": \"V2.1.3\", \"forceUpdate\": true},"
        " \"modem\": {\"version\": \"1.4.0\"}}\n");
    EXPECT_TRUE(m.parsed);
    EXPECT_TRUE(m.hasKeepUpdateFile);
    EXPECT_EQ(m.keepUpdateFile, 1);
    EXPECT_TRUE(m.hasDoBackup);
    EXPECT_EQ(m.doBackup, 0);
    EXPECT_TRUE(m.dsp.present);
    EXPECT_STREQ(m.dsp.version, "V2.1.3");
    EXPECT_TRUE(m.dsp.forceUpdate);
    EXPECT_TRUE(m.modem.present);
    EXPECT_STREQ(m.modem.version, "1.4.0");
    EXPECT_FALSE(m.modem.forceUpdate);
}

TEST(Manifest, MissingOrBadTextGivesNothing) {
    for (const char* text : {"", "\n", "not json", "{\"dsp\": ", "[1, 2]"}) {
        UpdateManifest m = parseManifest(text);
        EXPECT_FALSE(m.dsp.present) << text;
        EXPECT_FALSE(m.modem.present) << text;
        EXPECT_FALSE(m.hasKeepUpdateFile) << text;
        EXPECT_FALSE(m.hasDoBackup) << text;
    }
    EXPECT_FALSE(parseManifest(nullptr).parsed);
}

TEST(Manifest, LimitsOfLineAndVersion) {
    // Only the first line counts.
    UpdateManifest two = parseManifest("{\"doBackup\": 1}\n{\"keepUpdateFile\": 1}");
    EXPECT_TRUE(two.hasDoBackup);
    EXPECT_FALSE(two.hasKeepUpdateFile);

    // A version longer than its field is cut to 31 characters.
    std::string longVersion(40, '9');
    UpdateManifest cut = parseManifest(("{\"dsp\": {\"version\": \"" + longVersion + "\"}}").c_str());
    EXPECT_EQ(std::string(cut.dsp.version), std::string(31, '9'));

    // A line is looked at up to 511 characters: beyond that the text is not
    // whole JSON any more.
    std::string pad(600, ' ');
    EXPECT_FALSE(parseManifest(("{" + pad + "\"doBackup\": 1}").c_str()).hasDoBackup);
}

TEST(Manifest, UpdateRequiredByVersionOrForce) {
    struct {
        const char* wanted;
        bool force;
        const char* current;
        bool required;
    } cases[] = {
        {"V2.1.3", false, "2.1.10", false},  // 20103 < 20110
        {"V2.1.3", true, "2.1.10", true},
        {"2.1.11", false, "V2.1.10", true},
        {"2.1.10", false, "2.1.10", false},
        {"2.1.11", false, "", false},  // current does not parse
        {"2.1.11", true, "", true},
        {"2.1", false, "1.0.0", false},  // new one does not parse
        {"1.4.0 beta", false, "V1.3.9", true},
    };
    for (const auto& c : cases) {
        ManifestPart part{};
        part.present = true;
        snprintf(part.version, sizeof part.version, "%s", c.wanted);
        part.forceUpdate = c.force;
        EXPECT_EQ(updateRequired(part, c.current), c.required) << c.wanted << " over " << c.current;
    }
    EXPECT_FALSE(updateRequired(ManifestPart{}, "1.0.0"));
}

}  // namespace
