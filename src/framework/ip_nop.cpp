#include "framework/ip_nop.h"

#include "framework/ip_factory.h"

namespace {
// A copy of the frame, no objects: the track file keeps every column.
const ip_traits nopTraits = {.columns = ip_columnsArea | ip_columnsMotion};
ip_creator<ip_nop> registration(nopTraits);
}  // namespace

ip_nop::ip_nop(const dib_fmt* format) : ip_simple(format), dst_(new dib_base(*format, 0)) {}

ip_nop::~ip_nop() { delete dst_; }

void ip_nop::processSrc(const dib_base* src) { dst_->setBits(src->bits, uint32_t(src->byteSize())); }

void ip_nop::reformat() { dst_->setFormat(*srcFmt(), 0); }
