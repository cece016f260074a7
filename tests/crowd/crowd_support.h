// What the crowd tests share: a procedure with some settings, and what it finds in a frame.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crowd/ip_crowd.h"
#include "framework/ip_params.h"

namespace crowd_test {

inline std::unique_ptr<ip_crowd> crowd(const dib_fmt& f, std::vector<std::pair<const char*, double>> values = {}) {
    auto p = std::make_unique<ip_crowd>(&f);
    std::string why;
    for (auto [name, value] : values) EXPECT_TRUE(ip_setParam(*p, name, value, why)) << name << ": " << why;
    return p;
}

inline std::vector<ip_objectDetails> found(ip_crowd& p, const dib_base& f) {
    p.doProcess(&f, nullptr, nullptr);
    std::vector<ip_objectDetails> d(size_t(p.details(nullptr, 0)));
    p.details(d.data(), int(d.size()));
    return d;
}

}  // namespace crowd_test
