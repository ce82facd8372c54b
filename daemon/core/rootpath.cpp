#include "core/rootpath.h"

#include <cstdlib>

std::string rootPath(const std::string& absolutePath) {
    const char* root = std::getenv("TRAILNETD_ROOT");
    if (root == nullptr || root[0] == '\0') return absolutePath;
    std::string r(root);
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r + absolutePath;
}
