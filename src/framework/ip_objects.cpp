#include "framework/ip_objects.h"

#include <algorithm>
#include <cstring>
#include <vector>

int ip_objectSource::details(ip_objectDetails* out, int capacity) const {
    const int n = objects(nullptr, 0);
    std::vector<ip_objectRecord> records(size_t(std::clamp(std::min(n, capacity), 0, n)));
    const int got = std::min(objects(records.data(), int(records.size())), int(records.size()));
    for (int i = 0; i < got; ++i) {
        const ip_objectRecord& r = records[size_t(i)];
        ip_objectDetails d{};
        d.index = r.index;
        d.x = float(r.x), d.y = float(r.y), d.area = float(r.area);
        d.vx = r.vx, d.vy = r.vy;
        d.selected = r.selected;
        out[i] = d;
    }
    return n;
}

int ip_writeDetails(const ip_objectSource& source, void* out, int capacity, int recordSize) {
    const int n = source.details(nullptr, 0);
    std::vector<ip_objectDetails> records(size_t(std::clamp(std::min(n, capacity), 0, std::max(n, 0))));
    const int got = std::min(source.details(records.data(), int(records.size())), int(records.size()));
    const size_t known = std::min(size_t(recordSize), sizeof(ip_objectDetails));
    for (int i = 0; i < got; ++i) {
        auto* record = static_cast<uint8_t*>(out) + size_t(i) * size_t(recordSize);
        std::memcpy(record, &records[size_t(i)], known);
        std::memset(record + known, 0, size_t(recordSize) - known);
    }
    return n;
}
