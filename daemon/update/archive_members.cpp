#include "update/archive_members.h"

#include <cstring>

namespace {

const size_t kBlock = 512;
// Long names and pax records larger than this are not from a real package.
const uint64_t kMaxExtended = 64 * 1024;

std::string field(const unsigned char* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0) len++;
    return std::string(reinterpret_cast<const char*>(p), len);
}

// Octal, blank or NUL padded; or base-256 when the first byte has its top bit.
bool number(const unsigned char* p, size_t n, uint64_t& out) {
    out = 0;
    if (p[0] & 0x80) {
        if ((p[0] & 0x7f) != 0) return false;  // negative or beyond 64 bits
        for (size_t i = 1; i < n; i++) {
            if (out >> 56) return false;
            out = (out << 8) | p[i];
        }
        return true;
    }
    size_t i = 0;
    while (i < n && p[i] == ' ') i++;
    bool digits = false;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; i++) {
        if (out >> 61) return false;
        out = out * 8 + (p[i] - '0');
        digits = true;
    }
    for (; i < n; i++)
        if (p[i] != ' ' && p[i] != 0) return false;
    return digits;
}

uint64_t padded(uint64_t size) { return (size + kBlock - 1) / kBlock * kBlock; }

uint32_t le16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8;
}
uint32_t le32(const std::string& s, size_t at) {
    return le16(s, at) | le16(s, at + 2) << 16;
}

}  // namespace

bool TarMemberReader::fail(const char* why) {
    if (error_.empty()) error_ = why;
    state_ = Done;
    return false;
}

// Example record: "30 path=a/very/long/name.bin\n" (the length counts itself).
void TarMemberReader::applyPax(const std::string& records) {
    size_t at = 0;
    while (at < records.size()) {
        size_t blank = records.find(' ', at);
        if (blank == std::string::npos) break;
        unsigned long len = strtoul(records.c_str() + at, nullptr, 10);
        if (len == 0 || at + len > records.size() || blank >= at + len) break;
        const std::string rec = records.substr(blank + 1, at + len - blank - 1);
        at += len;
        size_t eq = rec.find('=');
        if (eq == std::string::npos || rec.empty() || rec.back() != '\n') continue;
        const std::string key = rec.substr(0, eq);
        const std::string value = rec.substr(eq + 1, rec.size() - eq - 2);
        if (key == "path") nextName_ = value;
        else if (key == "linkpath") nextTarget_ = value;
        else if (key == "size") {
            haveNextSize_ = true;
            nextSize_ = strtoull(value.c_str(), nullptr, 10);
        }
    }
}

bool TarMemberReader::header(const unsigned char* b) {
    bool zero = true;
    for (size_t i = 0; i < kBlock && zero; i++) zero = b[i] == 0;
    if (zero) {
        state_ = Done;  // the end blocks; what follows is not read
        return false;
    }
    uint64_t sum = 0, stored = 0;
    for (size_t i = 0; i < kBlock; i++) sum += (i >= 148 && i < 156) ? ' ' : b[i];
    if (!number(b + 148, 8, stored) || stored != sum) return fail("bad tar header");
    uint64_t size = 0;
    if (!number(b + 124, 12, size)) return fail("bad tar member size");
    const char type = static_cast<char>(b[156]);

    if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
        if (size > kMaxExtended) return fail("tar extended header too long");
        extKind_ = type;
        ext_.clear();
        extSize_ = size;
        remaining_ = padded(size);
        state_ = remaining_ ? Extended : Header;
        if (!remaining_) extKind_ = 0;
        return true;
    }

    std::string name = field(b, 100);
    if (memcmp(b + 257, "ustar", 5) == 0) {
        const std::string prefix = field(b + 345, 155);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    std::string target = field(b + 157, 100);
    if (!nextName_.empty()) name = nextName_;
    if (!nextTarget_.empty()) target = nextTarget_;
    if (haveNextSize_) size = nextSize_;
    nextName_.clear();
    nextTarget_.clear();
    haveNextSize_ = false;

    char kind;
    switch (type) {
    case '0': case '\0': case '7': kind = '-'; break;
    case '5': kind = 'd'; break;
    case '2': kind = 'l'; break;
    case '1': kind = 'h'; break;
    default: kind = '?'; break;
    }
    // Links and folders carry no content whatever their size field says.
    remaining_ = (kind == '-' || kind == '?') ? padded(size) : 0;
    state_ = remaining_ ? Skip : Header;
    if (!onMember_(kind, name, target)) {
        state_ = Done;
        return false;
    }
    return true;
}

bool TarMemberReader::feed(const char* data, size_t size) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    while (size > 0) {
        switch (state_) {
        case Done:
            return false;
        case Header: {
            size_t take = std::min(size, kBlock - block_.size());
            block_.append(reinterpret_cast<const char*>(p), take);
            p += take;
            size -= take;
            if (block_.size() == kBlock) {
                std::string b;
                b.swap(block_);
                if (!header(reinterpret_cast<const unsigned char*>(b.data()))) return false;
            }
            break;
        }
        case Skip:
        case Extended: {
            size_t take = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
            if (state_ == Extended && ext_.size() < extSize_)
                ext_.append(reinterpret_cast<const char*>(p),
                            static_cast<size_t>(std::min<uint64_t>(take, extSize_ - ext_.size())));
            p += take;
            size -= take;
            remaining_ -= take;
            if (remaining_ == 0) {
                if (state_ == Extended) {
                    if (extKind_ == 'L') nextName_ = field(reinterpret_cast<const unsigned char*>(ext_.data()), ext_.size());
                    else if (extKind_ == 'K') nextTarget_ = field(reinterpret_cast<const unsigned char*>(ext_.data()), ext_.size());
                    else if (extKind_ == 'x') applyPax(ext_);
                    extKind_ = 0;
                }
                state_ = Header;
            }
            break;
        }
        }
    }
    return state_ != Done;
}

bool TarMemberReader::finish() {
    if (state_ == Done) return error_.empty();
    if (state_ != Header || !block_.empty()) return fail("tar stream cut inside a member");
    return true;
}

// Example end record: 50 4b 05 06, disk numbers, entry counts, directory
// size, directory offset, comment length, comment.
bool findZipDirectory(const std::string& tail, uint64_t fileSize, ZipDirectory& out) {
    if (tail.size() < 22 || tail.size() > fileSize) return false;
    for (size_t at = tail.size() - 22 + 1; at-- > 0;) {
        if (le32(tail, at) != 0x06054b50) continue;
        if (at + 22 + le16(tail, at + 20) != tail.size()) continue;  // comment must reach the end
        out.entries = le16(tail, at + 10);
        out.size = le32(tail, at + 12);
        out.offset = le32(tail, at + 16);
        if (out.entries == 0xffff || out.size == 0xffffffff || out.offset == 0xffffffff) return false;
        const uint64_t endAt = fileSize - tail.size() + at;
        return out.offset + out.size <= endAt;
    }
    return false;
}

// Example entry: 50 4b 01 02, made by (03 = Unix in the high byte), ...,
// name length at 28, extra at 30, comment at 32, external attributes at 38
// (the Unix mode in the high half), name at 46.
bool readZipDirectory(const std::string& d, uint64_t entries, const OnArchiveMember& onMember,
                      std::string& error) {
    size_t at = 0;
    for (uint64_t i = 0; i < entries; i++) {
        if (at + 46 > d.size() || le32(d, at) != 0x02014b50) {
            error = "bad zip directory";
            return false;
        }
        const size_t nameLen = le16(d, at + 28);
        const size_t skip = 46 + nameLen + le16(d, at + 30) + le16(d, at + 32);
        if (at + skip > d.size()) {
            error = "bad zip directory";
            return false;
        }
        const std::string name = d.substr(at + 46, nameLen);
        const bool unixMade = (le16(d, at + 4) >> 8) == 3;
        const uint32_t mode = le32(d, at + 38) >> 16;
        char kind = '-';
        if (unixMade && (mode & 0170000) == 0120000) kind = 'l';
        else if (!name.empty() && name.back() == '/') kind = 'd';
        if (!onMember(kind, name, std::string())) return true;
        at += skip;
    }
    return true;
}
