#pragma once
// A throw-away picture folder with the system's jpegoptim copied in, as the
// camera's folder holds its own.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "pictures.h"

class PictureFolder {
public:
    PictureFolder() {
        char t[] = "/tmp/pictrim.XXXXXX";
        dir_ = std::string(mkdtemp(t)) + "/";
        std::filesystem::copy_file(JPEGOPTIM_PROGRAM, dir_ + "jpegoptim");
    }
    ~PictureFolder() { std::filesystem::remove_all(dir_); }
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

private:
    std::string dir_;
};
