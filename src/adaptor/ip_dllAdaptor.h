// The instance table behind the exports.
#pragma once

#include <vector>

#include "framework/ip_base.h"

namespace ip_dllAdaptor {
// One entry per id handed out; null marks a free slot. Never shrinks.
std::vector<ip_base*>& table();
// Throws the checkId message unless 0 <= id < number of entries.
void checkId(int id);
}  // namespace ip_dllAdaptor
