// Pass-through procedure: the destination image is a byte copy of each frame.
#pragma once

#include "framework/ip_base.h"

class ip_nop : public ip_simple {
public:
    static constexpr const char* registeredName = "nop";

    explicit ip_nop(const dib_fmt* format);
    ~ip_nop() override;

    const char* name() const override { return registeredName; }
    dib_base* dstDib() override { return dst_; }
    void processSrc(const dib_base* src) override;
    void reformat() override;

private:
    dib_base* dst_;
};
