#include "marks.h"

#include <QPainter>
#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "ambrevo/pipeline/tracks/plots.h"

namespace {

QColor colourOf(long long id) {
    const cv::Scalar c = ambrevo::track_colour(id);
    return QColor(int(c[2]), int(c[1]), int(c[0]));
}

const QColor chosenColour(0, 220, 255);

// A mark of one position on the frame shown.
Mark dot(long long id, const QColor& colour, QPointF at) {
    Mark m;
    m.id = id, m.colour = colour, m.tail = {at}, m.seen = true;
    return m;
}

}  // namespace

TrackIndex::TrackIndex(const ambrevo::TrackTable* table) : table_(table) {
    if (!table) return;
    for (size_t i = 0; i < table->size(); ++i) {
        byFrame_[table->frame(i)].push_back(i);
        seen_ += !table->missing(i);
        confident_ = confident_ || std::isfinite(table->confidence(i));
    }
}

const std::vector<size_t>& TrackIndex::rows(long long frame) const {
    static const std::vector<size_t> none;
    const auto at = byFrame_.find(frame);
    return at == byFrame_.end() ? none : at->second;
}

std::vector<Mark> TrackIndex::marksAt(long long frame, int tail, double unsureBelow) const {
    std::map<long long, Mark> byId;
    std::vector<Mark> marks;
    for (auto it = byFrame_.lower_bound(frame - tail); it != byFrame_.end() && it->first <= frame; ++it)
        for (size_t row : it->second) {
            if (table_->missing(row)) continue;
            const long long id = table_->identity(row);
            // Positions are pixel centres.
            const QPointF at(table_->x(row) + 0.5, table_->y(row) + 0.5);
            const bool now = it->first == frame;
            // A row of no animal (a ghost the identities left out) stands alone, on its frame only.
            if (id < 0) {
                if (now) marks.push_back(dot(id, QColor(160, 160, 160), at));
                continue;
            }
            Mark& m = byId[id];
            m.id = id;
            m.colour = colourOf(id);
            m.tail.push_back(at);
            m.seen = now;
            if (!now) continue;
            addPosture(m, row);
            m.unsure = table_->confidence(row) < unsureBelow;
        }
    for (auto& [id, m] : byId) marks.push_back(std::move(m));
    return marks;
}

void TrackIndex::addPosture(Mark& mark, size_t row) const {
    mark.heading = table_->heading(row);
    mark.head = table_->head(row) == 1;
    for (const ambrevo::TrackPoint& point : table_->midline(row))
        mark.midline.emplace_back(point.x + 0.5, point.y + 0.5);
}

std::vector<UnsureStretch> TrackIndex::unsureStretches(double below) const {
    std::vector<UnsureStretch> stretches;
    std::map<long long, UnsureStretch> open;  // by identity
    for (const auto& [frame, rows] : byFrame_)
        for (size_t row : rows) {
            const long long id = table_->identity(row);
            // Missing rows tell no confidence: they neither start nor end a stretch.
            if (id < 0 || table_->missing(row)) continue;
            const double sure = table_->confidence(row);
            const auto at = open.find(id);
            if (sure < below && at == open.end()) {
                open[id] = {id, frame, frame, sure};
            } else if (sure < below) {
                at->second.last = frame;
                at->second.lowest = std::min(at->second.lowest, sure);
            } else if (at != open.end()) {
                stretches.push_back(at->second);
                open.erase(at);
            }
        }
    for (const auto& [id, stretch] : open) stretches.push_back(stretch);
    std::sort(stretches.begin(), stretches.end(), [](const UnsureStretch& a, const UnsureStretch& b) {
        return std::pair(a.first, a.id) < std::pair(b.first, b.id);
    });
    return stretches;
}

std::vector<Mark> objectMarks(const std::vector<ip_objectRecord>& objects) {
    std::vector<Mark> marks;
    for (const ip_objectRecord& o : objects)
        marks.push_back(dot(o.index, colourOf(o.index), QPointF(o.x + 0.5, o.y + 0.5)));
    return marks;
}

ambrevo::SummarySettings summarySettings(const ambrevo::TrackTable& t) {
    ambrevo::SummarySettings s;
    s.pixels_per_unit = std::atof(t.meta("pixels_per_unit").c_str());
    if (s.pixels_per_unit > 0) s.unit = t.meta("unit").empty() ? "unit" : t.meta("unit");
    s.fps = std::atof(t.meta("frame_rate").c_str());
    while (!t.meta("arena_" + std::to_string(s.arenas + 1)).empty()) ++s.arenas;
    return s;
}

QImage toQImage(const cv::Mat& picture) {
    // Converted straight into the image's own pixels.
    QImage image(picture.cols, picture.rows, QImage::Format_RGB888);
    cv::Mat rgb(picture.rows, picture.cols, CV_8UC3, image.bits(), size_t(image.bytesPerLine()));
    cv::cvtColor(picture, rgb, picture.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_BGR2RGB);
    return image;
}

namespace {

// The body along its midline, its head a square once told; a body without one, where it heads.
// Unsure: a dashed ring round it.
void paintPosture(QPainter& p, const Mark& m, QPointF at, const std::function<QPointF(QPointF)>& place) {
    p.setBrush(Qt::NoBrush);
    if (m.midline.size() >= 2) {
        QPolygonF body;
        for (const QPointF& point : m.midline) body << place(point);
        p.setPen(QPen(m.colour, 1.5));
        p.drawPolyline(body);
        if (m.head) p.fillRect(QRectF(body.front() - QPointF(3, 3), QSizeF(6, 6)), m.colour);
    } else if (std::isfinite(m.heading)) {
        p.setPen(QPen(m.colour, 2));
        p.drawLine(at, at + 14 * QPointF(std::cos(m.heading), std::sin(m.heading)));
    }
    if (m.unsure) {
        p.setPen(QPen(m.colour, 1.5, Qt::DashLine));
        p.drawEllipse(at, 11, 11);
    }
}

}  // namespace

void paintMarks(QPainter& p, const std::vector<Mark>& marks, long long chosen,
                const std::function<QPointF(QPointF)>& place) {
    p.setRenderHint(QPainter::Antialiasing);
    for (const Mark& m : marks) {
        const bool picked = m.id == chosen;
        p.setPen(QPen(m.colour, picked ? 3 : 2));
        p.setBrush(Qt::NoBrush);
        QPolygonF tail;
        for (const QPointF& at : m.tail) tail << place(at);
        p.drawPolyline(tail);
        if (!m.seen || tail.isEmpty()) continue;
        paintPosture(p, m, tail.back(), place);
        p.setPen(QPen(m.colour, picked ? 3 : 2));
        p.setBrush(m.colour);
        p.drawEllipse(tail.back(), picked ? 6 : 4, picked ? 6 : 4);
        if (m.id < 0) continue;  // no animal's: no number
        p.setPen(picked ? chosenColour : Qt::white);
        p.drawText(tail.back() + QPointF(7, -7), QString::number(m.id) + (m.unsure ? "?" : ""));
    }
}
