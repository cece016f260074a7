// The compiled half of the Python package: a thin layer over the module's C interface, the
// pipeline's linkers, and the pipeline itself (pipeline_run.cpp). Everything that is easier in
// Python (dtypes, tables) lives in ambrevo/__init__.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ambrevo.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/run/command_line.h"
#include "ambrevo/pipeline/tracks/identity_link.h"
#include "ambrevo/pipeline/tracks/link_global.h"
#include "ambrevo/pipeline/tracks/row_looks.h"
#include "ambrevo/pipeline/tracks/track_link.h"
#include "run_support.h"

namespace py = pybind11;

void bindRun(py::module_& m);
void bindLiveRun(py::module_& m);

namespace {

// Status to the exception a Python user expects: bad values and frames are the
// caller's mistake (ValueError), refusals by the procedure are the module's.
void check(ambrevo_status status) {
    if (status == AMBREVO_OK) return;
    const std::string message = ambrevo_last_error();
    switch (status) {
        case AMBREVO_ERROR_ARGUMENT:
        case AMBREVO_ERROR_PARAMETER: throw py::value_error(message);
        case AMBREVO_ERROR_MEMORY: throw std::bad_alloc();
        default: throw std::runtime_error(message);
    }
}

// The module's texts are Windows-1250 bytes; Python gets them decoded.
py::str decoded(const char* text) {
    return py::reinterpret_steal<py::str>(PyUnicode_Decode(text, Py_ssize_t(std::strlen(text)), "cp1250", "replace"));
}

class procedure {
public:
    procedure(const std::string& name, int width, int height, int channels) {
        check(ambrevo_create(name.c_str(), width, height, channels, &p_));
    }
    ~procedure() { ambrevo_destroy(p_); }
    procedure(const procedure&) = delete;
    procedure& operator=(const procedure&) = delete;

    std::string name() const { return ambrevo_name(p_); }

    // One call at a time: a Procedure shared by several threads serves them in turn. The
    // lock is waited for without the interpreter lock, so that the thread inside can finish.
    std::unique_lock<std::mutex> turn() const {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            py::gil_scoped_release unlocked;
            lock.lock();
        }
        return lock;
    }

    py::list describe() const {
        const auto lock = turn();
        py::list out;
        for (int i = 0; i < ambrevo_param_count(p_); ++i) {
            ambrevo_param info{};
            check(ambrevo_param_describe(p_, i, &info));
            double value = 0;
            check(ambrevo_param_get(p_, info.name, &value));
            static const char* const types[] = {"int", "bool", "float"};
            py::dict d;
            d["name"] = info.name;
            d["type"] = types[info.type];
            d["value"] = value;
            d["lowest"] = info.lowest;
            d["highest"] = info.highest;
            d["default"] = info.default_value;
            d["help"] = info.help;
            out.append(d);
        }
        return out;
    }

    void set(const std::string& name, double value) {
        const auto lock = turn();
        check(ambrevo_param_set(p_, name.c_str(), value));
    }
    void setText(const std::string& name, const std::string& text) {
        const auto lock = turn();
        check(ambrevo_param_set_text(p_, name.c_str(), text.c_str()));
    }
    double get(const std::string& name) const {
        const auto lock = turn();
        double value = 0;
        check(ambrevo_param_get(p_, name.c_str(), &value));
        return value;
    }

    // Returns the objects as the raw bytes of ambrevo_object records.
    py::bytes process(const py::array& frame, const std::vector<std::pair<int, int>>& clicks) {
        if (!py::isinstance<py::array_t<uint8_t>>(frame) || frame.dtype().kind() != 'u' || frame.itemsize() != 1)
            throw py::value_error("frame must be a uint8 array, got " + std::string(py::str(frame.dtype())));
        const int channels = frame.ndim() == 2 ? 1 : frame.ndim() == 3 ? int(frame.shape(2)) : 0;
        if (channels != 1 && channels != 3)
            throw py::value_error("frame must have shape (h, w) or (h, w, 3), got " +
                                  std::string(py::str(py::cast(std::vector<py::ssize_t>(
                                      frame.shape(), frame.shape() + frame.ndim())))));
        if (frame.shape(0) < 1 || frame.shape(1) < 1) throw py::value_error("frame is empty");
        if (frame.shape(0) > INT32_MAX || frame.shape(1) > INT32_MAX) throw py::value_error("frame too large");
        const bool packedRow = frame.strides(1) == channels && (channels == 1 || frame.strides(2) == 1);
        if (!packedRow || frame.strides(0) < frame.shape(1) * channels)
            throw py::value_error("frame rows must be contiguous, top row first (use numpy.ascontiguousarray)");
        ambrevo_frame f{static_cast<const uint8_t*>(frame.data()), int32_t(frame.shape(1)), int32_t(frame.shape(0)),
                        int64_t(frame.strides(0)), channels};
        std::vector<ambrevo_click> c;
        for (const auto& xy : clicks) c.push_back(ambrevo_click{xy.first, xy.second});
        const auto lock = turn();
        ambrevo_status status;
        {
            // The frame stays referenced by the caller's argument while the lock is free.
            py::gil_scoped_release unlocked;
            status = ambrevo_process(p_, &f, c.data(), int32_t(c.size()));
        }
        check(status);
        int32_t count = 0;
        check(ambrevo_objects(p_, nullptr, 0, &count));
        std::vector<ambrevo_object> objects(static_cast<size_t>(count));
        check(ambrevo_objects(p_, objects.data(), count, &count));
        return py::bytes(reinterpret_cast<const char*>(objects.data()), objects.size() * sizeof(ambrevo_object));
    }

    py::array destination() {
        const auto lock = turn();
        ambrevo_image image{};
        check(ambrevo_destination(p_, &image));
        std::vector<py::ssize_t> shape{image.height, image.width};
        if (image.bytes_per_pixel >= 3) shape.push_back(image.bytes_per_pixel);
        py::array out = image.bytes_per_pixel == 2 ? py::array(py::dtype::of<int16_t>(), shape)
                                                   : py::array(py::dtype::of<uint8_t>(), shape);
        const size_t rowBytes = size_t(image.width) * size_t(image.bytes_per_pixel);
        auto* target = static_cast<uint8_t*>(out.mutable_data());
        for (int32_t r = 0; r < image.height; ++r)
            std::memcpy(target + size_t(r) * rowBytes, image.data + int64_t(r) * image.stride, rowBytes);
        return out;
    }

    py::dict profile() {
        const auto lock = turn();
        int32_t count = 0;
        check(ambrevo_profile(p_, nullptr, 0, &count));
        std::vector<ambrevo_stage> stages(static_cast<size_t>(count));
        check(ambrevo_profile(p_, stages.data(), count, &count));
        py::dict out;
        for (const auto& s : stages) out[decoded(s.name)] = s.ms;
        return out;
    }

    py::str dialogue(const std::string& replies) {
        const auto lock = turn();
        const char* text = nullptr;
        check(ambrevo_dialogue(p_, replies.c_str(), &text));
        return decoded(text);
    }

private:
    ambrevo_procedure* p_ = nullptr;
    mutable std::mutex mutex_;
};

using Longs = py::array_t<long long, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The linked rows as columns, ordered by frame: the detection's row in the input (-1 for
// missing rows), frame, track, x, y, missing. `link(stop)` runs without the GIL; a refusal is a
// ValueError, Ctrl-C stops it and is raised.
template <class Link>
py::tuple linkedColumns(Link link) {
    std::vector<ambrevo::LinkedRow> linked;
    std::exception_ptr failure;
    // On a thread of its own, so that this one answers Ctrl-C: the linking stops at its next step.
    Watched watched;
    std::thread worker;
    {
        py::gil_scoped_release release;
        worker = std::thread([&] {
            try {
                linked = link(StopToken([&watched] { return watched.stopRequested(); }));
            } catch (...) {
                failure = std::current_exception();
            }
            watched.finish();
        });
    }
    watched.waitUntil([] { return false; }, {});
    {
        py::gil_scoped_release release;
        worker.join();
    }
    if (watched.pending) throw std::move(*watched.pending);
    try {
        if (failure) std::rethrow_exception(failure);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    const auto m = static_cast<py::ssize_t>(linked.size());
    py::array_t<long long> row(m), frame(m), track(m);
    py::array_t<double> x(m), y(m);
    py::array_t<bool> missing(m);
    for (py::ssize_t i = 0; i < m; ++i) {
        const ambrevo::LinkedRow& l = linked[size_t(i)];
        row.mutable_data()[i] = l.row;
        frame.mutable_data()[i] = l.frame;
        track.mutable_data()[i] = l.track;
        x.mutable_data()[i] = l.x;
        y.mutable_data()[i] = l.y;
        missing.mutable_data()[i] = l.missing;
    }
    return py::make_tuple(row, frame, track, x, y, missing);
}

void checkLengths(py::ssize_t n, std::initializer_list<py::ssize_t> others) {
    for (py::ssize_t other : others)
        if (other != n) throw py::value_error("frame, x and y (and the groups) must have the same length");
}

// Links rows given as columns, frame by frame, up to `lastFrame` when given.
py::tuple linkTable(Longs frames, Doubles xs, Doubles ys, double maxStep, int memory, bool predict,
                    std::optional<long long> lastFrame) {
    const py::ssize_t n = frames.size();
    checkLengths(n, {xs.size(), ys.size()});
    std::vector<ambrevo::TableRow> rows(static_cast<size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i) rows[size_t(i)] = {frames.data()[i], xs.data()[i], ys.data()[i]};
    const long long last = lastFrame.value_or(std::numeric_limits<long long>::min());
    return linkedColumns([&](const StopToken&) { return ambrevo::link_table(rows, {maxStep, memory, predict}, last); });
}

// Links rows given as columns over the whole run; `groups` (0, 1, ...) are never linked with
// each other, `animals[g]` is group g's count (0: unknown).
py::tuple linkGlobal(Longs frames, Doubles xs, Doubles ys, Longs groups, double maxStep, int memory, bool predict,
                     const std::vector<int>& animals) {
    const py::ssize_t n = frames.size();
    checkLengths(n, {xs.size(), ys.size(), groups.size()});
    std::vector<ambrevo::GroupedRow> rows(static_cast<size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i)
        rows[size_t(i)] = {frames.data()[i], xs.data()[i], ys.data()[i], int(groups.data()[i])};
    return linkedColumns(
        [&](const StopToken& stop) { return ambrevo::link_global(rows, {maxStep, memory, predict, true}, animals, stop); });
}

// A column of `looks` by name as doubles, NaN where the table has none.
std::vector<double> lookColumn(const py::dict& looks, const char* name, size_t n, size_t width = 1) {
    if (!looks.contains(name)) return std::vector<double>(n * width, NAN);
    const Doubles values = looks[name].cast<Doubles>();
    if (size_t(values.size()) != n * width) throw py::value_error(std::string("the column ") + name + " has another length");
    return std::vector<double>(values.data(), values.data() + values.size());
}

// Links rows given as columns over the whole run and makes the tracks the animals' identities,
// learned from the looks the table's columns (`looks`, by their names in a track file) tell.
// Returns the linked columns and the confidence of each input row.
py::tuple linkIdentities(Longs frames, Doubles xs, Doubles ys, Longs groups, const py::dict& looks, double maxStep,
                         int memory, bool predict, const std::vector<int>& animals) {
    const py::ssize_t n = frames.size();
    checkLengths(n, {xs.size(), ys.size(), groups.size()});
    const size_t count = size_t(n), points = ObjectPosture::points;
    const std::vector<double> area = lookColumn(looks, "area", count), intensity = lookColumn(looks, "intensity", count),
                              elongation = lookColumn(looks, "elongation", count),
                              length = lookColumn(looks, "length", count), width = lookColumn(looks, "width", count),
                              texture = lookColumn(looks, "texture", count), head = lookColumn(looks, "head", count),
                              split = lookColumn(looks, "split", count), grey = lookColumn(looks, "grey", count, points);
    std::vector<ambrevo::IdentityRow> rows(count);
    for (size_t i = 0; i < count; ++i) {
        ObjectPosture p;
        p.length = float(length[i]), p.width = float(width[i]), p.texture = float(texture[i]);
        p.head = std::isfinite(head[i]) ? int8_t(head[i]) : int8_t(-1);
        p.split = std::isfinite(split[i]) ? int8_t(split[i]) : int8_t(-1);
        for (size_t k = 0; k < points; ++k) p.grey[k] = float(grey[i * points + k]);
        const ObjectShape shape{xs.data()[i], ys.data()[i], float(intensity[i]), NAN, float(elongation[i])};
        rows[i] = {frames.data()[i], -1, xs.data()[i], ys.data()[i], int(groups.data()[i]), p.split == 1,
                   looksOf(area[i], shape, p)};
    }
    std::vector<double> confidence;
    py::tuple linked = linkedColumns([&](const StopToken& stop) {
        ambrevo::IdentifiedRows given = ambrevo::link_identities(rows, {maxStep, memory, predict, true}, animals, stop);
        confidence = std::move(given.confidence);
        // As the track file gives it, so that link() equals the run's rows.
        for (double& c : confidence) c = toDecimals(c, confidenceDecimals);
        return std::move(given.rows);
    });
    return py::make_tuple(linked, py::array_t<double>(py::ssize_t(confidence.size()), confidence.data()));
}

}  // namespace

PYBIND11_MODULE(_ambrevo, m) {
    m.doc() = "Compiled core of the ambrevo package; use the ambrevo module instead.";
    m.attr("version") = ambrevo_version();
    m.attr("interface_version") = ambrevo_interface_version();
    m.attr("object_record_size") = sizeof(ambrevo_object);
    m.def(
        "procedures",
        [] {
            std::vector<std::string> names;
            for (int i = 0; const char* name = ambrevo_procedure_name(i); ++i) names.emplace_back(name);
            return names;
        },
        "The procedures' names, in registration order.");
    m.def(
        "options",
        [] {
            static const char* const uses[] = {"setting", "input", "output", "folder", "batch"};
            std::vector<std::tuple<std::string, std::string, std::string>> all;
            for (const DeclaredOption& o : declaredOptions())
                if (o.python) all.emplace_back(o.name, uses[int(o.use)], o.python);
            return all;
        },
        "The program's options the package has: (option, use, how Python says it), use one of setting, input, "
        "output, folder, batch.");
    py::class_<procedure>(m, "Procedure", "One instance of a procedure; use ambrevo.Procedure.")
        .def(py::init<const std::string&, int, int, int>(), py::arg("name"), py::arg("width"), py::arg("height"),
             py::arg("channels"), "An instance for frames of width x height with 1 or 3 channels.")
        .def_property_readonly("name", &procedure::name, "The procedure's name.")
        .def("describe", &procedure::describe, "Every setting as a dict.")
        .def("set", &procedure::set, py::arg("name"), py::arg("value"), "Sets a setting to a number.")
        .def("set_text", &procedure::setText, py::arg("name"), py::arg("text"), "Sets a setting from its text.")
        .def("get", &procedure::get, py::arg("name"), "A setting's value.")
        .def("process", &procedure::process, py::arg("frame"), py::arg("clicks"),
             "Runs a frame; its objects as the bytes of the module's records.")
        .def("destination", &procedure::destination, "The output picture of the last frame.")
        .def("profile", &procedure::profile, "The last frame's stage times in milliseconds.")
        .def("dialogue", &procedure::dialogue, py::arg("replies"), "Answers the console dialogue; its text.");
    m.def("link", &linkTable, py::arg("frames"), py::arg("xs"), py::arg("ys"), py::arg("max_step"), py::arg("memory"),
          py::arg("predict"), py::arg("last_frame"), "Links rows frame by frame, up to last_frame when given.");
    m.def("link_global", &linkGlobal, py::arg("frames"), py::arg("xs"), py::arg("ys"), py::arg("groups"),
          py::arg("max_step"), py::arg("memory"), py::arg("predict"), py::arg("animals"),
          "Links rows over the whole run, each group apart.");
    m.def("link_identities", &linkIdentities, py::arg("frames"), py::arg("xs"), py::arg("ys"), py::arg("groups"),
          py::arg("looks"), py::arg("max_step"), py::arg("memory"), py::arg("predict"), py::arg("animals"),
          "Links rows over the whole run and makes the tracks the animals' identities, learned from their looks; "
          "the linked columns and each row's confidence.");
    bindRun(m);
    bindLiveRun(m);
}
