#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folder.h"
#include "ImageHelper.h"
#include "cloudsim.h"
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

// The Authorization header of the simulator's first camera PUT.
static std::string bearerSeen(CloudSim& sim) {
    CloudSimJson all = sim.requests();
    for (size_t i = 0; i < json_object_array_length(all.get()); i++) {
        json_object* r = json_object_array_get_idx(all.get(), i);
        json_object* headers = nullptr;
        if (!json_object_object_get_ex(r, "headers", &headers)) continue;
        for (size_t j = 0; j < json_object_array_length(headers); j++) {
            json_object* kv = json_object_array_get_idx(headers, j);
            if (std::string(json_object_get_string(json_object_array_get_idx(kv, 0))) ==
                "Authorization")
                return json_object_get_string(json_object_array_get_idx(kv, 1));
        }
    }
    return "<none>";
}

TEST(PicTrimCli, WholeRunShrinksUploadsDeletesAndLists) {
    PictureFolder f;
    CloudSim sim(f.file("cacert.pem"));
    sim.setScenario(R"({"auth": false})");
    f.put(".token", "secret\n");
    f.putPicture("PICT0001.JPG");
    f.putPicture("PICT0002.JPG");
    ProgramResult r = pictrim({"32", "24", "50", f.path(), "UCID1", sim.hostPort(), "443"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 0 END PROGRAM\n");
    EXPECT_FALSE(f.has("PICT0001.JPG") || f.has("PICT0002.JPG"));
    std::string sent = f.read("sent.txt");
    EXPECT_TRUE(sent == "PICT0001.JPG\r\nPICT0002.JPG\r\n" ||
                sent == "PICT0002.JPG\r\nPICT0001.JPG\r\n")
        << sent;
    for (const char* name : {"PICT0001.JPG", "PICT0002.JPG"}) {
        int w = 0, h = 0, c = 0;
        ASSERT_TRUE(stbi_info(sim.uploaded(name).c_str(), &w, &h, &c)) << name;
        EXPECT_EQ(w, 32);
        EXPECT_EQ(h, 24);
    }
    // The token's final line feed stays out of the header.
    EXPECT_EQ(bearerSeen(sim), "Bearer secret");
}

TEST(PicTrimCli, TokenIsCutAt63BytesAndAFailedUploadIsCodeOne) {
    PictureFolder f;
    CloudSim sim(f.file("cacert.pem"));
    sim.setScenario(R"({"auth": false, "faults": [{"path": "/upload/", "kind": "status", "status": 403}]})");
    std::string token(100, 't');
    for (size_t i = 0; i < token.size(); i++) token[i] = static_cast<char>('a' + i % 26);
    f.put(".token", token);
    f.putPicture("a.jpg");
    ProgramResult r = pictrim({"0", "0", "0", f.path(), "UCID1", sim.hostPort(), "443"});
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 1 END PROGRAM\n");
    EXPECT_EQ(bearerSeen(sim), "Bearer " + token.substr(0, 63));
    EXPECT_TRUE(f.has("a.jpg"));
    EXPECT_NE(f.read("log.txt").find("INFO,Response code: 403\r\n"), std::string::npos);
}
