#pragma once
// A throw-away picture folder with the system's jpegoptim copied in, as the
// camera's folder holds its own; it is on the card TN_CARD picks (FAT by
// default), as on the camera.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "pictures.h"
#include "sdcard.h"

class PictureFolder {
public:
    PictureFolder() {
        char t[] = "/tmp/pictrim.XXXXXX";
        top_ = mkdtemp(t);
        dir_ = top_ + "/card/";
        std::filesystem::create_directory(dir_);
        if (sdcard::chosen() != sdcard::Kind::Folder)
            card_.reset(new sdcard::Mount(top_ + "/card", top_ + "/medium"));
        copyIn(JPEGOPTIM_PROGRAM, "jpegoptim");
        chmod((dir_ + "jpegoptim").c_str(), 0755);  // FAT shows 0755 already; a folder needs it
    }
    ~PictureFolder() {
        card_.reset();
        std::filesystem::remove_all(top_);
    }
    PictureFolder(const PictureFolder&) = delete;
    PictureFolder& operator=(const PictureFolder&) = delete;

    // The folder path, ending in '/'.
    const std::string& path() const { return dir_; }
    std::string file(const std::string& name) const { return dir_ + name; }
    bool has(const std::string& name) const { return std::filesystem::exists(dir_ + name); }
    void put(const std::string& name, const pictures::Bytes& bytes) const {
        pictures::writeFile(dir_ + name, bytes);
    }
    void putPicture(const std::string& name, const pictures::Options& o = {}) const {
        put(name, pictures::make(o));
    }
    std::string read(const std::string& name) const { return pictures::readFile(dir_ + name); }
    // The bytes only: a FAT card refuses the modes copy_file would carry over.
    void copyIn(const std::string& from, const std::string& name) const {
        put(name, pictures::readFile(from));
    }

private:
    std::string top_;
    std::string dir_;
    std::unique_ptr<sdcard::Mount> card_;
};
