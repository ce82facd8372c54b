#pragma once
// Every absolute path of the daemon resolves under one root directory taken
// from TRAILNETD_ROOT (unset or empty on the module), so a test or the demo
// runs the real binary against a throw-away tree.
#include <string>

// "/media/sdcard/log.txt" -> "$TRAILNETD_ROOT/media/sdcard/log.txt"
std::string rootPath(const std::string& absolutePath);
