#include "run_support.h"

#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include "ambrevo/pipeline/run/request.h"

void Table::lay() {
    // Counts and yes-or-no columns by their names in the file, whatever the procedure.
    static const std::set<std::string, std::less<>> whole{"frame", "index", "area",  "points", "appearances",
                                                          "track", "arena", "head", "split"},
        yesNo{"selected", "missing"};
    py::list record;  // (name, numpy type) of each field, in order
    std::map<std::string, size_t> named;
    fields_.clear();
    itemSize_ = 0;
    for (const std::string& file : names) {
        const std::string name = file == "object" ? "index" : file;
        const auto [at, added] = named.emplace(name, fields_.size());
        if (!added) {
            fields_.push_back(fields_[at->second]);
            continue;
        }
        const Kind kind = whole.count(name) ? Kind::whole : yesNo.count(name) ? Kind::yesNo : Kind::decimal;
        record.append(py::make_tuple(name, kind == Kind::whole ? "<i8" : kind == Kind::yesNo ? "?" : "<f8"));
        fields_.push_back({kind, itemSize_});
        itemSize_ += kind == Kind::yesNo ? 1 : 8;
    }
    dtype_ = py::dtype::from_args(record);
    laidFor_ = layout;
}

py::array Table::take(bool clear) {
    if (laidFor_ != layout || !dtype_) lay();
    const size_t n = columns.empty() ? 0 : columns[0].size();
    py::array rows(*dtype_, py::array::ShapeContainer{py::ssize_t(n)}, py::array::StridesContainer{});
    auto* const base = static_cast<char*>(rows.mutable_data());
    for (size_t c = 0; c < columns.size(); ++c) {
        const Field field = fields_[c];
        char* at = base + field.offset;
        for (const double value : columns[c]) {
            if (field.kind == Kind::decimal) {
                std::memcpy(at, &value, sizeof value);
            } else if (field.kind == Kind::yesNo) {
                *at = value > 0;
            } else {
                // As numpy casts: a value no int64 holds (infinite) becomes the lowest.
                const int64_t count = std::isnan(value) ? -1
                                      : std::fabs(value) < 9.2e18 ? int64_t(value)
                                                                  : std::numeric_limits<int64_t>::min();
                std::memcpy(at, &count, sizeof count);
            }
            at += itemSize_;
        }
        if (clear) columns[c].clear();
    }
    return rows;
}

Outcome TableSink::open(const RunContext& run) {
    rows_.emplace(run.procedure, false, run.trackColumns);
    headed_ = false;
    nameColumns();
    return {};
}

// The columns by the header's names. Some columns (posture, confidence) are known only once
// rows have come, as the track file's header waits for them.
void TableSink::nameColumns() {
    const std::lock_guard<std::mutex> hold(lock_);
    table_.names = rows_->columnNames();
    table_.columns.assign(table_.names.size(), {});
    ++table_.layout;
}

Outcome TableSink::frame(const FrameResult& result) {
    if (!headed_ && !result.rows.empty()) {
        rows_->fix(result);
        nameColumns();
        headed_ = true;
    }
    values_.clear();
    rows_->values(result, values_);
    {
        const std::lock_guard<std::mutex> hold(lock_);
        table_.lastFrame = result.frame;
        const size_t width = table_.columns.size();
        for (size_t k = 0; width > 0 && k < values_.size(); ++k) table_.columns[k % width].push_back(values_[k]);
    }
    if (written_) written_(result.frame);
    return {};
}

std::string PythonError::fetch() {
    PyObject *type = nullptr, *raised = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &raised, &trace);
    PyErr_NormalizeException(&type, &raised, &trace);
    if (trace && raised) PyException_SetTraceback(raised, trace);
    value = py::reinterpret_steal<py::object>(raised);
    Py_XDECREF(type);
    Py_XDECREF(trace);
    if (!value) return "an exception without a value";
    std::string text = Py_TYPE(value.ptr())->tp_name;
    const std::string said = py::str(value);
    if (!said.empty()) text += ": " + said;
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

void Watched::notice(const std::string& text) {
    const std::lock_guard<std::mutex> hold(lock_);
    notices.push_back(text);
}

void Watched::progress(int64_t framesDone, int64_t framesExpected) {
    // The count first: whoever sees the frames done sees the count they were done against.
    expected = framesExpected;
    done = framesDone;
    wake();
}

void Watched::requestStop(int request) {
    int none = 0;
    stop_.compare_exchange_strong(none, request);
}

void Watched::wake() {
    { const std::lock_guard<std::mutex> hold(lock_); }
    woken_.notify_all();
}

void Watched::finish() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        finished_ = true;
    }
    woken_.notify_all();
}

void Watched::waitUntil(const std::function<bool()>& ready, const std::function<void()>& poll) {
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> hold(lock_);
            woken_.wait_for(hold, std::chrono::milliseconds(50), [&] { return finished_.load() || ready(); });
        }
        if (PyErr_CheckSignals() != 0) {
            if (!pending) pending.emplace();
            requestStop(SIGINT);
        }
        if (poll) {
            try {
                poll();
            } catch (py::error_already_set& e) {
                if (!pending) pending.emplace(std::move(e));
                requestStop(cancelRequest);
            }
        }
        if (finished_.load() || ready()) return;
    }
}

Expected<cv::Mat> arrayToFrame(const py::handle& frame) {
    if (!py::isinstance<py::array>(frame)) {
        return inputFailure(std::string("a frame must be a numpy array, got ") + Py_TYPE(frame.ptr())->tp_name);
    }
    const auto array = py::reinterpret_borrow<py::array>(frame);
    const int channels = array.ndim() == 2 ? 1 : array.ndim() == 3 ? int(array.shape(2)) : 0;
    if (array.dtype().kind() != 'u' || array.itemsize() != 1 || (channels != 1 && channels != 3 && channels != 4)) {
        const std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
        return inputFailure("a frame must be a uint8 array of shape (h, w) or (h, w, 3), got " +
                            std::string(py::str(array.dtype())) + " of shape " + std::string(py::str(py::cast(shape))));
    }
    if (array.shape(0) < 1 || array.shape(1) < 1 || array.shape(0) > INT32_MAX || array.shape(1) > INT32_MAX) {
        return inputFailure("a frame must have at least one pixel and at most 2^31 - 1 rows and columns");
    }
    const auto packed = py::array_t<uint8_t, py::array::c_style>::ensure(array);
    const cv::Mat view(int(array.shape(0)), int(array.shape(1)), CV_8UC(channels), const_cast<uint8_t*>(packed.data()));
    // A grey or BGRA frame is converted into a picture of its own; a BGR one is copied.
    cv::Mat bgr;
    if (toBgr8(channels == 3 ? view.clone() : view, bgr)) return bgr;
    return inputFailure("the frame could not be converted to BGR");
}

Outcome Request::prepare(const std::string& modulePath, const std::vector<std::string>& words) {
    std::vector<const char*> argv{"ambrevo"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    if (Outcome parsed = parseOptions(int(argv.size()), argv.data(), options); !parsed) return parsed;
    if (Outcome loaded = module.load(modulePath); !loaded) return loaded;
    return checkRequest(module, options, saved);
}

py::list toList(const std::vector<std::string>& texts) {
    py::list out;
    for (const std::string& t : texts) out.append(t);
    return out;
}
