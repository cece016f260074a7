// Reading the user's reply in a configuration dialogue.
#pragma once

#include <istream>
#include <string>

#include "interface/ip_host.h"

// The console's next line; a host that answers with null counts as an empty reply.
inline std::string ip_readReply(ip_console* console) {
    const char* line = console->readLine();
    return line ? std::string(line) : std::string();
}

// Reads the next value of a reply into `field` through a temporary: a stream may store
// into its target even when the read fails, and a failed read must keep the setting.
// Returns whether a value was read, so that reading stops at the first failure.
template <class T>
bool ip_readValue(std::istream& in, T& field) {
    T value{};
    if (!(in >> value)) return false;
    field = value;
    return true;
}
