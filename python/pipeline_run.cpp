// ambrevo.track(): a run of the program's own pipeline, from Python. The options are the
// program's command-line words, read by the program's parser; the frames come from the
// program's reader, or from a Python iterator of arrays; the rows are those of the track file.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "frame_source.h"
#include "request.h"
#include "run.h"

namespace py = pybind11;

namespace {

// Frames handed over from Python, one array at a time, copied as the program reads a picture.
class ArraySource final : public FrameSource {
public:
    explicit ArraySource(py::object iterator) : iterator_(std::move(iterator)) {}
    ~ArraySource() override {
        py::gil_scoped_acquire gil;
        iterator_ = py::object();
    }
    Result read(cv::Mat& bgr, std::string& error) override {
        py::gil_scoped_acquire gil;
        PyObject* item = PyIter_Next(iterator_.ptr());
        if (!item) {
            if (!PyErr_Occurred()) return end;
            error = "frame " + std::to_string(read_) + ": " + py::error_already_set().what();
            return failed;
        }
        const py::object frame = py::reinterpret_steal<py::object>(item);
        if (!toMat(frame, bgr)) {
            error = "frame " + std::to_string(read_) + ": frames must be uint8 arrays of shape (h, w) or (h, w, 3)";
            return failed;
        }
        ++read_;
        return FrameSource::frame;
    }

private:
    static bool toMat(const py::object& frame, cv::Mat& bgr) {
        if (!py::isinstance<py::array>(frame)) return false;
        const auto array = py::reinterpret_borrow<py::array>(frame);
        if (array.dtype().kind() != 'u' || array.itemsize() != 1 || array.ndim() < 2 || array.ndim() > 3) return false;
        const int channels = array.ndim() == 2 ? 1 : int(array.shape(2));
        if (channels != 1 && channels != 3 && channels != 4) return false;
        const auto packed = py::array_t<uint8_t, py::array::c_style>::ensure(array);
        if (!packed || array.shape(0) < 1 || array.shape(1) < 1 || array.shape(0) > INT32_MAX ||
            array.shape(1) > INT32_MAX)
            return false;
        const cv::Mat view(int(array.shape(0)), int(array.shape(1)), CV_8UC(channels),
                           const_cast<uint8_t*>(packed.data()));
        return toBgr8(view.clone(), bgr);
    }
    py::object iterator_;
    int64_t read_ = 0;
};

// The rows as the track file holds them, column by column. A procedure that measures shapes
// gives its centres as decimals and three columns more, as the file does.
struct Rows {
    std::vector<int32_t> frame, index, area, points, selected, arena;
    std::vector<double> x, y, intensity, orientation, elongation;
    std::vector<float> vx, vy;
    std::vector<int64_t> track;
    std::vector<bool> missing;
    bool arenas = false, linked = false, shapes = false;

    void addShape(const ObjectShape& s) {
        x.push_back(s.x), y.push_back(s.y);
        intensity.push_back(toDecimals(s.intensity, intensityDecimals));
        orientation.push_back(toDecimals(s.orientation, orientationDecimals));
        elongation.push_back(toDecimals(s.elongation, elongationDecimals));
    }
};

class RowsSink final : public Sink {
public:
    explicit RowsSink(Rows& rows) : rows_(rows) {}
    SinkNeeds needs() const override { return {.objects = true}; }
    bool open(const RunContext& run, std::string&) override {
        for (size_t c = 0; c < run.trackColumns.size(); ++c) {
            if (run.trackColumns[c] == "arena") arena_ = int(c);
            if (run.trackColumns[c] == "track") track_ = int(c);
        }
        rows_.arenas = arena_ >= 0;
        rows_.linked = track_ >= 0;
        rows_.shapes = run.procedure.shapes;
        return true;
    }
    bool frame(const FrameResult& result, std::string&) override {
        for (size_t i = 0; i < result.rows.size(); ++i) {
            const ip_objectRecord& o = result.rows[i];
            for (auto [column, value] : {std::pair{&rows_.frame, int32_t(result.frame)},
                                         {&rows_.index, o.index},
                                         {&rows_.area, o.area},
                                         {&rows_.points, o.pointCount},
                                         {&rows_.selected, o.selected}})
                column->push_back(value);
            if (!rows_.shapes)
                rows_.x.push_back(o.x), rows_.y.push_back(o.y);
            else
                rows_.addShape(i < result.shapes.size() ? result.shapes[i] : ObjectShape{double(o.x), double(o.y)});
            rows_.vx.push_back(o.vx);
            rows_.vy.push_back(o.vy);
            const std::vector<std::string>& cells = result.cells[i];
            if (arena_ >= 0) rows_.arena.push_back(std::stoi(cells.at(size_t(arena_))));
            if (track_ < 0) continue;
            rows_.track.push_back(std::stoll(cells.at(size_t(track_))));
            rows_.missing.push_back(cells.at(size_t(track_) + 1) == "1");
        }
        return true;
    }
    bool close(const RunRecord&, std::string&) override { return true; }
    void discard() override {}

private:
    Rows& rows_;
    int arena_ = -1, track_ = -1;
};

// Keeps the failure for Python to raise; says nothing meanwhile.
class Quiet final : public RunObserver {
public:
    void failed(int, const std::string& text) override { message = text; }
    std::string message;
};

template <class T>
py::array column(const std::vector<T>& values) {
    return py::array_t<T>(py::ssize_t(values.size()), values.data());
}

// Runs the pipeline with the options `words` (as on the command line, without the program's
// name) over their input, or over `frames` (an iterator of arrays) when it is not None.
// Returns the exit status, the failure's message and the rows' columns.
py::tuple run(const std::string& modulePath, const std::vector<std::string>& words, py::object frames) {
    std::vector<const char*> argv{"ambrevo"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    Options o;
    SettingsFile saved;
    std::string error;
    int status = exitUsage;
    Module module;
    if (!parseOptions(int(argv.size()), argv.data(), o, error)) return py::make_tuple(status, error, py::dict());
    if (!module.load(modulePath, error)) return py::make_tuple(exitModuleLoad, error, py::dict());
    if (!checkRequest(module, o, saved, status, error)) return py::make_tuple(status, error, py::dict());
    Rows rows;
    Quiet quiet;
    {
        Run pipeline(module, o, saved, quiet);
        pipeline.quietConsole();
        if (!frames.is_none()) pipeline.setSource(std::make_unique<ArraySource>(std::move(frames)));
        pipeline.addSink(std::make_unique<RowsSink>(rows));
        py::gil_scoped_release unlocked;
        status = pipeline.run();
    }
    py::dict columns;
    columns["frame"] = column(rows.frame), columns["index"] = column(rows.index);
    columns["x"] = column(rows.x), columns["y"] = column(rows.y), columns["area"] = column(rows.area);
    columns["vx"] = column(rows.vx), columns["vy"] = column(rows.vy);
    columns["points"] = column(rows.points), columns["selected"] = column(rows.selected);
    if (rows.shapes) {
        columns["intensity"] = column(rows.intensity), columns["orientation"] = column(rows.orientation);
        columns["elongation"] = column(rows.elongation);
    }
    if (rows.arenas) columns["arena"] = column(rows.arena);
    if (rows.linked) {
        columns["track"] = column(rows.track);
        columns["missing"] = column(std::vector<uint8_t>(rows.missing.begin(), rows.missing.end()));
    }
    return py::make_tuple(status, quiet.message, columns);
}

}  // namespace

void bindRun(py::module_& m) { m.def("run", &run); }
