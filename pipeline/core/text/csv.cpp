#include "ambrevo/pipeline/core/text/csv.h"

#include <stdexcept>

namespace ambrevo::csv {

namespace {

// Every line of `text` (which need not end in a line end) without its '\n', in order.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        out.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return out;
}

}  // namespace

std::string field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

std::string record(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ',';
        out += field(fields[i]);
    }
    return out;
}

bool RecordReader::add(std::string_view line) {
    if (quoted_) {
        field_ += '\n';  // the line break the quoted field holds
    } else {
        fields_.clear(), field_.clear(), closed_ = false;
    }
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted_) {
            if (c != '"') {
                field_ += c;
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                field_ += '"', ++i;
            } else {
                quoted_ = false, closed_ = true;
            }
        } else if (c == ',') {
            fields_.push_back(std::move(field_));
            field_.clear(), closed_ = false;
        } else if (closed_) {
            throw std::runtime_error("a quoted field is followed by '" + std::string(1, c) + "' instead of a comma");
        } else if (c == '"' && field_.empty()) {
            quoted_ = true;
        } else {
            field_ += c;  // a quote inside an unquoted field is taken as it is
        }
    }
    if (quoted_) return false;
    fields_.push_back(std::move(field_));
    field_.clear();
    return true;
}

TextRecords::TextRecords(std::string_view text, size_t firstLine) : lines_(lines(text)), firstLine_(firstLine) {}

bool TextRecords::next() {
    begin_ = next_;
    if (next_ == lines_.size()) return false;
    // The lines are views into one text: a record's text is the span from its first to its last.
    auto span = [&] {
        const char* from = lines_[begin_].data();
        text_ = std::string_view(from, size_t(lines_[next_ - 1].data() + lines_[next_ - 1].size() - from));
    };
    std::string why = "a quoted field is not closed";
    try {
        while (next_ < lines_.size())
            if (reader_.add(lines_[next_++])) return span(), true;
    } catch (const std::runtime_error& e) {
        why = e.what();
    }
    span();
    throw std::runtime_error("line " + std::to_string(line()) + ": " + why);
}

}  // namespace ambrevo::csv
