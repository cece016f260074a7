#include "framework/ip_factory.h"

#include <cstring>
#include <iterator>

#include "framework/ip_window.h"

namespace {
const char* const kOrder[] = {"canny", "canny_w0", "ccTrack", "nop", "flowtrack"};

int rankOf(const char* name) {
    for (int i = 0; i < int(std::size(kOrder)); ++i)
        if (std::strcmp(kOrder[i], name) == 0) return i;
    return int(std::size(kOrder));
}

// Ranks of the registered entries, parallel to the registry.
std::vector<int>& ranks() {
    static std::vector<int> r;
    return r;
}
}  // namespace

std::vector<ip_creator_base*>& ip_registry() {
    static std::vector<ip_creator_base*> registry;
    return registry;
}

ip_creator_base::ip_creator_base(const char* registeredName) {
    auto& registry = ip_registry();
    auto& rank = ranks();
    int r = rankOf(registeredName);
    size_t at = registry.size();
    while (at > 0 && rank[at - 1] > r) --at;
    registry.insert(registry.begin() + std::ptrdiff_t(at), this);
    rank.insert(rank.begin() + std::ptrdiff_t(at), r);
}

ip_base* ip_createProcedure(const ip_creator_base& entry, const dib_fmt* format, const ip_hostCallbacks* callbacks) {
    ip_callbackScope scope(callbacks);
    return entry.create(format);
}

ip_creator_base* ip_registry_find(const char* name) {
    if (!name) return nullptr;
    for (ip_creator_base* entry : ip_registry())
        if (std::strcmp(entry->name(), name) == 0) return entry;
    return nullptr;
}

const ip_procedureTraits* ip_traitsOf(const char* name) {
    const ip_creator_base* entry = ip_registry_find(name);
    return entry ? &entry->traits() : nullptr;
}
