#include "marks.h"

#include <QPainter>
#include <opencv2/imgproc.hpp>

#include "plots.h"

namespace {

QColor colourOf(long long id) {
    const cv::Scalar c = ambrevo::track_colour(id);
    return QColor(int(c[2]), int(c[1]), int(c[0]));
}

const QColor chosenColour(0, 220, 255);

}  // namespace

TrackIndex::TrackIndex(const ambrevo::TrackTable* table) : table_(table) {
    if (!table) return;
    for (size_t i = 0; i < table->size(); ++i) {
        byFrame_[table->frame(i)].push_back(i);
        seen_ += !table->missing(i);
    }
}

const std::vector<size_t>& TrackIndex::rows(long long frame) const {
    static const std::vector<size_t> none;
    const auto at = byFrame_.find(frame);
    return at == byFrame_.end() ? none : at->second;
}

std::vector<Mark> TrackIndex::marksAt(long long frame, int tail) const {
    std::map<long long, Mark> byId;
    for (auto it = byFrame_.lower_bound(frame - tail); it != byFrame_.end() && it->first <= frame; ++it)
        for (size_t row : it->second) {
            if (table_->missing(row)) continue;
            Mark& m = byId[table_->identity(row)];
            m.id = table_->identity(row);
            m.colour = colourOf(m.id);
            // Positions are pixel centres.
            m.tail.emplace_back(table_->x(row) + 0.5, table_->y(row) + 0.5);
            m.seen = it->first == frame;
        }
    std::vector<Mark> marks;
    for (auto& [id, m] : byId) marks.push_back(std::move(m));
    return marks;
}

std::vector<Mark> objectMarks(const std::vector<ip_objectRecord>& objects) {
    std::vector<Mark> marks;
    for (const ip_objectRecord& o : objects)
        marks.push_back({o.index, colourOf(o.index), {QPointF(o.x + 0.5, o.y + 0.5)}, true});
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
        p.setBrush(m.colour);
        p.drawEllipse(tail.back(), picked ? 6 : 4, picked ? 6 : 4);
        p.setPen(picked ? chosenColour : Qt::white);
        p.drawText(tail.back() + QPointF(7, -7), QString::number(m.id));
    }
}
