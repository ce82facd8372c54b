#pragma once
// The modem's AT channel: answers one command line the way the modem does.
#include <functional>
#include <string>

#include "scenario.h"

struct AtContext {
    Scenario& sc;
    std::function<void(bool on)> radio;  // AT+CFUN=0/1
};

// Example: "at+qeng=\"servingcell\"" -> "\r\n+QENG: \"servingcell\",...\r\n\r\nOK\r\n"
std::string atAnswer(AtContext& ctx, const std::string& line);
