#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folder.h"
#include "ImageHelper.h"
#include "run_program.h"

namespace {

const std::string kUsage =
    "Usage: PicTrimApp <target_width> <target_height> <target_file_size_kb> <path> <UCID> <host> "
    "<port>\n";

ProgramResult pictrim(const std::vector<std::string>& args) {
    std::vector<std::string> all{PICTRIMAPP_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(all);
}

std::string withoutSlash(const std::string& p) { return p.substr(0, p.size() - 1); }

}  // namespace

TEST(PicTrimCli, WrongArgumentCountPrintsOnlyTheUsage) {
    PictureFolder f;
    for (auto args : {std::vector<std::string>{"1", "2", "3", f.path(), "U", "h"},
                      std::vector<std::string>{"1", "2", "3", f.path(), "U", "h", "443", "x"},
                      std::vector<std::string>{}}) {
        ProgramResult r = pictrim(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
    }
    EXPECT_FALSE(f.has("log.txt"));
}

TEST(PicTrimCli, ArgumentsThatDontFitTheirFieldsAreRefused) {
    PictureFolder f;
    // The folder with its '/' may take 56 characters so that log.txt fits.
    std::string longPath = f.path() + std::string(56 - f.path().size(), 'd');
    std::filesystem::create_directory(longPath);
    std::vector<std::vector<std::string>> refused = {
        {"0", "0", "0", "", "U", "h", "443"},
        {"0", "0", "0", longPath, "U", "h", "443"},
        {"0", "0", "0", f.path(), std::string(64, 'u'), "h", "443"},
        {"0", "0", "0", f.path(), "U", std::string(100, 'h'), "443"},
    };
    for (const auto& args : refused) {
        ProgramResult r = pictrim(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
    }
    std::string fits = longPath.substr(0, longPath.size() - 1);
    std::filesystem::create_directory(fits);
    ProgramResult r = pictrim({"0", "0", "0", fits, std::string(63, 'u'), std::string(99, 'h'), "1"});
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 1 END PROGRAM\n");
    EXPECT_TRUE(std::filesystem::exists(fits + "/log.txt"));
}

TEST(PicTrimCli, MissingTokenRunsNoStage) {
    PictureFolder f;
    f.putPicture("a.jpg");
    pictures::Bytes before = f.read("a.jpg");
    ProgramResult r = pictrim({"32", "24", "50", f.path(), "U", "h", "443"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 1 END PROGRAM\n");
    EXPECT_EQ(f.read("log.txt"), "0,ERROR,Could not read token\r\n");
    EXPECT_EQ(f.read("a.jpg"), before);
    EXPECT_FALSE(f.has(JPEGOPTIMLOG_FILENAME));
}

TEST(PicTrimCli, FolderWithAndWithoutTrailingSlashIsTheSame) {
    PictureFolder f;
    f.put(".token", "");  // an empty token still lets the run go on
    for (const std::string& p : {f.path(), withoutSlash(f.path())}) {
        ProgramResult r = pictrim({"0", "0", "0", p, "U", "h", "443"});
        EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 1 END PROGRAM\n");
    }
    // Both runs found the token and logged into the same file.
    EXPECT_EQ(f.read("log.txt"), "0,ERROR,No files processed\r\n0,ERROR,No files processed\r\n");
}

TEST(PicTrimCli, SuccessfulImageStageEndsWithCodeZero) {
    PictureFolder f;
    f.put(".token", "secret\n");
    f.putPicture("a.jpg");
    ProgramResult r = pictrim({"32", "24", "50", f.path(), "U", "h", "443"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 0 END PROGRAM\n");
    int w = 0, h = 0, c = 0;
    ASSERT_TRUE(stbi_info(f.file("a.jpg").c_str(), &w, &h, &c));
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 24);
}
