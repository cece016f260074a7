// The instance table behind the exports.
#pragma once

#include <mutex>
#include <vector>

#include "framework/ip_base.h"

namespace ip_dllAdaptor {
// One entry per id handed out; null marks a free slot. Never shrinks.
std::vector<ip_base*>& table();
// Held while the table is read or changed; never while a procedure runs.
std::mutex& tableMutex();
// Throws the checkId message unless 0 <= id < number of entries.
void checkId(int id);
}  // namespace ip_dllAdaptor
