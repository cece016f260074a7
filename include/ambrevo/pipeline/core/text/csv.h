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

// The records of a text held whole, each with the text it was read from (`text` must outlive
// them).
class TextRecords {
public:
    // `firstLine`: the number of the text's first line, for the messages.
    explicit TextRecords(std::string_view text, size_t firstLine = 1);
    // The next record (an empty line is a record of one empty field); false at the end. Throws
    // std::runtime_error starting "line N: " when a quoted field is followed by anything but a
    // comma or is not closed before the end.
    bool next();
    const std::vector<std::string>& fields() const { return reader_.fields(); }
    // The record as the text holds it, without its last line end; after a refusal, the lines
    // refused.
    std::string_view text() const { return text_; }
    // The number of the line the record begins on.
    size_t line() const { return firstLine_ + begin_; }

private:
    std::vector<std::string_view> lines_;
    size_t firstLine_, begin_ = 0, next_ = 0;
    RecordReader reader_;
    std::string_view text_;
};

}  // namespace ambrevo::csv
