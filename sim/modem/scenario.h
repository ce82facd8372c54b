#pragma once
// The simulator's scenario: a JSON document read at start and changed while
// the simulator runs. Handlers read it on every request, so a change through
// the control socket takes effect at once.
#include <json-c/json.h>

#include <cstdint>
#include <string>

class Scenario {
public:
    Scenario();
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    bool loadFile(const std::string& path, std::string& error);
    bool loadText(const std::string& text, std::string& error);

    // Dotted paths; a number segment indexes an array ("sim.slots.0.iccid").
    json_object* find(const std::string& path) const;
    std::string str(const std::string& path, const std::string& fallback = "") const;
    int64_t num(const std::string& path, int64_t fallback = 0) const;
    bool flag(const std::string& path, bool fallback = false) const;
    bool has(const std::string& path) const { return find(path) != nullptr; }
    // Sets a value (takes ownership), creating objects on the way.
    bool set(const std::string& path, json_object* value);
    std::string dump(const std::string& path) const;

private:
    json_object* root_;
};
