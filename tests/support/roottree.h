#pragma once
// A throw-away root tree for one test: TRAILNETD_ROOT points at it for the
// test's life, with helpers to mount or unmount the SD card. Its
// /media/sdcard is the card TN_CARD picks (sdcard.h: FAT by default).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include <memory>

#include "sdcard.h"

class RootTree {
public:
    explicit RootTree(sdcard::Kind card = sdcard::chosen()) {
        char tmpl[] = "/tmp/tnroot.XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("TRAILNETD_ROOT", dir_.c_str(), 1);
        for (const char* d : {"/proc", "/etc", "/usrdata", "/tmp", "/dev", "/media/sdcard"})
            mkdirs(d);
        if (card != sdcard::Kind::Folder)
            card_.reset(new sdcard::Mount(path("/media/sdcard"), dir_ + "/.card", card));
    }
    ~RootTree() {
        card_.reset();
        unsetenv("TRAILNETD_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    RootTree(const RootTree&) = delete;
    RootTree& operator=(const RootTree&) = delete;

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& abs) const { return dir_ + abs; }

    void mkdirs(const std::string& abs) const {
        std::string p = dir_;
        std::stringstream ss(abs);
        std::string part;
        while (std::getline(ss, part, '/')) {
            if (part.empty()) continue;
            p += "/" + part;
            mkdir(p.c_str(), 0755);
        }
    }
    // state: 0 absent, 1 read-write, 2 read-only
    void mountCard(int state) const {
        std::ofstream f(path("/proc/mounts"), std::ios::trunc);
        f << "rootfs / rootfs rw 0 0\n";
        if (state == 1) f << "/dev/mmcblk0p1 /media/sdcard vfat rw,relatime 0 0\n";
        if (state == 2) f << "/dev/mmcblk0p1 /media/sdcard vfat ro,relatime 0 0\n";
    }
    void write(const std::string& abs, const std::string& content) const {
        std::ofstream f(path(abs), std::ios::binary | std::ios::trunc);
        f << content;
    }
    std::string read(const std::string& abs) const {
        std::ifstream f(path(abs), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // What the card is (a FAT card or a folder).
    sdcard::Kind cardKind() const { return card_ ? card_->kind() : sdcard::Kind::Folder; }
    // Turns the card back into a plain folder with the same content, for a
    // test that mounts a card of its own there.
    void releaseCard() const {
        if (card_) card_->release();
    }

    bool exists(const std::string& abs) const {
        struct stat st;
        return stat(path(abs).c_str(), &st) == 0;
    }

private:
    std::string dir_;
    std::unique_ptr<sdcard::Mount> card_;
};
