// CSV as RFC 4180 has it, for every table the program reads or writes: track files, truth
// files, summaries, the batch table. A field that holds a comma, a quote or a line break is
// written in quotes with each quote doubled; any other field is written as it is, so that a
// table of plain names and numbers is the same text it always was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ambrevo::csv {

// `text` as one field of a record.
std::string field(std::string_view text);

// The fields as one record, without its line end.
std::string record(const std::vector<std::string>& fields);

// One record read from lines handed over one at a time without their line ends: a quoted field
// may hold commas, doubled quotes and line breaks, so a record may take several lines.
class RecordReader {
public:
    // Takes the next line. True when it completes the record (fields() holds it); false when
    // the line ended inside a quoted field, which the next line goes on with. Throws
    // std::runtime_error when a quoted field is followed by anything but a comma.
    bool add(std::string_view line);
    // Whether a quoted field is open: the record needs more lines (at the end of the input,
    // it was cut short).
    bool pending() const { return quoted_; }
    const std::vector<std::string>& fields() const { return fields_; }

private:
    std::vector<std::string> fields_;
    std::string field_;
    bool quoted_ = false;  // inside a quoted field
    bool closed_ = false;  // a quoted field ended and its comma has not come yet
};

// Every line of `text` (which need not end in a line end) without its '\n', in order.
std::vector<std::string_view> lines(std::string_view text);

}  // namespace ambrevo::csv
