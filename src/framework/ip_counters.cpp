#include "framework/ip_counters.h"

#include <algorithm>
#include <cstring>
#include <vector>

int ip_writeCounters(const ip_base& procedure, void* out, int capacity, int recordSize) {
    if (recordSize < int(sizeof(ip_counterRecord))) throw "ip_writeCounters - record size below that of a counter";
    const auto* source = dynamic_cast<const ip_counterSource*>(&procedure);
    if (!source) return 0;
    const int n = source->counters(nullptr, 0);
    std::vector<ip_counterRecord> records(size_t(std::clamp(std::min(n, out ? capacity : 0), 0, std::max(n, 0))));
    const int got = std::min(source->counters(records.data(), int(records.size())), int(records.size()));
    for (int i = 0; i < got; ++i) {
        auto* record = static_cast<uint8_t*>(out) + size_t(i) * size_t(recordSize);
        std::memcpy(record, &records[size_t(i)], sizeof(ip_counterRecord));
        std::memset(record + sizeof(ip_counterRecord), 0, size_t(recordSize) - sizeof(ip_counterRecord));
    }
    return n;
}
