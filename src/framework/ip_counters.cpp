#include "framework/ip_counters.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/ip_factory.h"

int ip_writeCounters(const ip_base& procedure, void* out, int capacity, int recordSize) {
    if (recordSize < int(sizeof(ip_counterRecord))) throw "ip_writeCounters - record size below that of a counter";
    const auto* source = dynamic_cast<const ip_counterSource*>(&procedure);
    const ip_procedureTraits* traits = ip_traitsOf(procedure.name());
    if (!source || !traits || traits->counterCount <= 0) return 0;
    const int n = traits->counterCount;
    std::vector<int64_t> values(size_t(n), 0);
    source->counterValues(values.data(), n);
    const int written = out ? std::clamp(capacity, 0, n) : 0;
    for (int i = 0; i < written; ++i) {
        const ip_counterTrait& c = traits->counters[i];
        const ip_counterRecord record{c.name, c.hint, values[size_t(i)]};
        auto* at = static_cast<uint8_t*>(out) + size_t(i) * size_t(recordSize);
        std::memcpy(at, &record, sizeof record);
        std::memset(at + sizeof record, 0, size_t(recordSize) - sizeof record);
    }
    return n;
}
