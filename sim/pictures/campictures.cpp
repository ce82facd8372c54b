// campictures make FOLDER COUNT WIDTH HEIGHT   pictures PICT0001.JPG ... as a camera leaves them
// campictures info FILE                        "WxH, N bytes, EXIF yes|no (Make ...), thumbnail N bytes"
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "jpeg-data.h"
#include "pictures.h"

static int make(const char* folder, int count, int w, int h) {
    pictures::Options o;
    o.width = w;
    o.height = h;
    o.comment = true;
    pictures::Bytes bytes = pictures::make(o);
    for (int i = 1; i <= count; i++) {
        char name[32];
        snprintf(name, sizeof name, "PICT%04d.JPG", i);
        pictures::writeFile(std::string(folder) + "/" + name, bytes);
    }
    return 0;
}

static int info(const char* file) {
    int w = 0, h = 0, c = 0;
    if (!stbi_info(file, &w, &h, &c)) {
        printf("not a picture\n");
        return 1;
    }
    struct stat st;
    stat(file, &st);
    printf("%dx%d, %ld bytes, ", w, h, static_cast<long>(st.st_size));
    JPEGFileData* jd = jpeg_data_new_from_file(file);
    ExifData* ed = jpeg_data_get_exif_data(jd);
    if (!ed) {
        printf("EXIF no\n");
    } else {
        char make[64] = "?";
        ExifEntry* e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MAKE);
        if (e) exif_entry_get_value(e, make, sizeof make);
        printf("EXIF yes (Make %s), thumbnail %u bytes\n", make, ed->size);
        exif_data_unref(ed);
    }
    jpeg_data_free(jd);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "make")
        return make(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    if (argc == 3 && std::string(argv[1]) == "info") return info(argv[2]);
    fprintf(stderr, "usage: campictures make FOLDER COUNT WIDTH HEIGHT | info FILE\n");
    return 2;
}
