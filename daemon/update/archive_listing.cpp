#include "update/archive_listing.h"

#include <vector>

namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Skips `n` blank-separated fields; npos when the line has fewer.
size_t skipFields(const std::string& line, int n) {
    size_t pos = 0;
    for (int i = 0; i < n; i++) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos) return pos;
        pos = line.find(' ', pos);
        if (pos == std::string::npos) return pos;
    }
    return line.find_first_not_of(' ', pos);
}

// Splits "name<sep>target"; the separator must occur exactly once, else the
// split is ambiguous and the line is refused.
bool splitOnce(const std::string& rest, const std::string& sep, std::string& name,
               std::string& target) {
    size_t at = rest.find(sep);
    if (at == std::string::npos || rest.find(sep, at + 1) != std::string::npos) return false;
    name = rest.substr(0, at);
    target = rest.substr(at + sep.size());
    return true;
}

// Does a relative link target, seen from the folder of `linkName`, stay
// inside the unpack folder?
bool targetStaysInside(const std::string& linkName, const std::string& target) {
    if (target.empty() || target[0] == '/') return false;
    std::vector<std::string> parts = components(linkName);
    parts.pop_back();  // the link itself
    long depth = static_cast<long>(parts.size());
    bool descended = false;
    for (const std::string& c : components(target)) {
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            // ".." after a name would climb out of wherever that name
            // (perhaps itself a link to the top) really leads.
            if (descended || --depth < 0) return false;
        } else {
            descended = true;
        }
    }
    return true;
}

}  // namespace

bool normaliseMemberName(const std::string& name, std::string& out) {
    out.clear();
    if (name.empty() || name[0] == '/') return false;
    for (const std::string& c : components(name)) {
        if (c.empty() || c == ".") continue;
        if (c == "..") return false;
        if (!out.empty()) out += '/';
        out += c;
    }
    return !out.empty() || name.find_first_not_of("./") == std::string::npos;
}

bool ArchiveListingCheck::refuse(const std::string& what) {
    if (unsafe_.empty()) unsafe_ = what.empty() ? std::string("(empty name)") : what;
    return false;
}

bool ArchiveListingCheck::checkName(const std::string& name, std::string& normal) {
    if (!normaliseMemberName(name, normal)) return refuse(name);
    // A member below a link of this archive would be written wherever the
    // link points.
    for (size_t at = normal.find('/'); at != std::string::npos; at = normal.find('/', at + 1)) {
        if (links_.count(normal.substr(0, at))) return refuse(name);
    }
    return true;
}

bool ArchiveListingCheck::tarLine(const std::string& line, bool cut) {
    if (!safe()) return false;
    if (line.empty()) return true;
    if (cut) return refuse(line);
    size_t rest = skipFields(line, 5);  // mode, owner, size, date, time
    if (rest == std::string::npos) return refuse(line);
    const std::string tail = line.substr(rest);
    std::string name, target;
    switch (line[0]) {
    case '-':
    case 'd':
        return member(line[0], tail, std::string());
    case 'l':
        if (policy_ == FilesOnly || !splitOnce(tail, " -> ", name, target)) return refuse(tail);
        return member('l', name, target);
    case 'h':
        if (policy_ == FilesOnly || !splitOnce(tail, " link to ", name, target)) return refuse(tail);
        return member('h', name, target);
    default:
        return refuse(tail);
    }
}

bool ArchiveListingCheck::member(char kind, const std::string& name, const std::string& target) {
    if (!safe()) return false;
    std::string normal;
    switch (kind) {
    case '-':
    case 'd':
        return checkName(name, normal);
    case 'l': {
        const std::string shown = name + " -> " + target;
        if (policy_ == FilesOnly) return refuse(shown);
        if (!checkName(name, normal)) return false;
        if (!targetStaysInside(normal, target)) return refuse(shown);
        links_.insert(normal);
        return true;
    }
    case 'h': {
        const std::string shown = name + " link to " + target;
        if (policy_ == FilesOnly) return refuse(shown);
        std::string normalTarget;
        if (!checkName(name, normal)) return false;
        // A hard link names another member; one outside would make this
        // name an alias of a file outside.
        if (!normaliseMemberName(target, normalTarget)) return refuse(shown);
        return true;
    }
    default:
        // Devices, pipes, sockets: nothing an update needs.
        return refuse(name);
    }
}

bool ArchiveListingCheck::zipInfoLine(const std::string& line, bool cut) {
    if (!safe()) return false;
    if (cut) return refuse(line);
    // Entry lines begin with a ten-character mode; a link shows as 'l'.
    if (line.size() > 10 && line[0] == 'l' && line[10] == ' ') return refuse(line);
    return true;
}

bool ArchiveListingCheck::zipNameLine(const std::string& line, bool cut) {
    if (!safe()) return false;
    if (cut) return refuse(line);
    if (line.empty()) return true;
    std::string normal;
    return checkName(line, normal);
}
