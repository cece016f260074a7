#include "frame_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace {

// Arena numbers are pixel centres, except a rectangle's, which lie on pixel borders.
QPointF shown(const ArenaShape& a, ArenaPoint p) {
    const double half = a.kind() == ArenaShape::Kind::rect ? 0 : 0.5;
    return {p.x + half, p.y + half};
}
double centre(double u) { return std::round(u - 0.5); }

const QColor arenaColour(255, 210, 0), chosenColour(0, 220, 255);
constexpr double reach = 8;  // widget pixels within which a handle or a first vertex is caught

}  // namespace

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(320, 240);
}

void FrameView::setImage(const QImage& image) {
    image_ = image;
    update();
}

void FrameView::setTool(Tool tool) {
    tool_ = tool;
    polygon_.clear();
    drag_ = Drag::none;
    setCursor(tool == Tool::select || tool == Tool::pick ? Qt::ArrowCursor : Qt::CrossCursor);
    update();
}

void FrameView::setArenas(std::vector<ArenaShape> arenas) {
    arenas_ = std::move(arenas);
    selected_ = -1;
    update();
}

void FrameView::setMarks(std::vector<Mark> marks, long long chosen) {
    marks_ = std::move(marks);
    chosen_ = chosen;
    update();
}

double FrameView::zoom() const {
    if (image_.isNull()) return 1;
    return std::min(double(width()) / image_.width(), double(height()) / image_.height());
}

QPointF FrameView::toWidget(QPointF u) const {
    const double z = zoom();
    const QPointF offset((width() - image_.width() * z) / 2, (height() - image_.height() * z) / 2);
    return offset + u * z;
}

QPointF FrameView::toImage(QPointF w) const {
    const double z = zoom();
    const QPointF offset((width() - image_.width() * z) / 2, (height() - image_.height() * z) / 2);
    return (w - offset) / z;
}

void FrameView::changed() {
    update();
    if (arenasChanged) arenasChanged();
}

void FrameView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(40, 40, 40));
    if (image_.isNull()) return;
    p.drawImage(QRectF(toWidget({0, 0}), toWidget(QPointF(image_.width(), image_.height()))), image_);
    p.setRenderHint(QPainter::Antialiasing);
    paintMarks(p);
    paintArenas(p);
    p.setPen(QPen(chosenColour, 2, Qt::DashLine));
    if (drag_ == Drag::draw && tool_ == Tool::rect) p.drawRect(QRectF(toWidget(from_), toWidget(to_)));
    if (drag_ == Drag::draw && tool_ == Tool::circle) {
        const double r = std::hypot(to_.x() - from_.x(), to_.y() - from_.y()) * zoom();
        p.drawEllipse(toWidget(from_), r, r);
    }
    if (drag_ == Drag::draw && tool_ == Tool::scale) p.drawLine(toWidget(from_), toWidget(to_));
    for (size_t i = 0; i < polygon_.size(); ++i)
        p.drawLine(toWidget(polygon_[i]), toWidget(i + 1 < polygon_.size() ? polygon_[i + 1] : to_));
}

void FrameView::paintArenas(QPainter& p) const {
    for (size_t i = 0; i < arenas_.size(); ++i) {
        const ArenaShape& a = arenas_[i];
        const bool chosen = int(i) == selected_;
        p.setPen(QPen(chosen ? chosenColour : arenaColour, 2));
        p.setBrush(Qt::NoBrush);
        const std::vector<double>& n = a.numbers();
        if (a.kind() == ArenaShape::Kind::rect) {
            p.drawRect(QRectF(toWidget({n[0], n[1]}), toWidget({n[0] + n[2], n[1] + n[3]})));
        } else if (a.kind() == ArenaShape::Kind::circle) {
            p.drawEllipse(toWidget({n[0] + 0.5, n[1] + 0.5}), n[2] * zoom(), n[2] * zoom());
        } else if (a.kind() == ArenaShape::Kind::polygon) {
            QPolygonF outline;
            for (const ArenaPoint& v : a.handles()) outline << toWidget(shown(a, v));
            p.drawPolygon(outline);
        }
        p.setFont(QFont(font().family(), 12, QFont::Bold));
        p.drawText(toWidget(shown(a, a.labelAt())) + QPointF(4, 16), QString::number(i + 1));
        if (!chosen) continue;
        p.setBrush(chosenColour);
        for (const ArenaPoint& h : a.handles()) p.drawRect(QRectF(toWidget(shown(a, h)) - QPointF(4, 4), QSizeF(8, 8)));
    }
}

void FrameView::paintMarks(QPainter& p) const {
    for (const Mark& m : marks_) {
        const bool chosen = m.id == chosen_;
        p.setPen(QPen(m.colour, chosen ? 3 : 2));
        p.setBrush(Qt::NoBrush);
        QPolygonF tail;
        for (const QPointF& at : m.tail) tail << toWidget(at);
        p.drawPolyline(tail);
        if (!m.seen || tail.isEmpty()) continue;
        p.setBrush(m.colour);
        p.drawEllipse(tail.back(), chosen ? 6 : 4, chosen ? 6 : 4);
        p.setPen(chosen ? chosenColour : Qt::white);
        p.drawText(tail.back() + QPointF(7, -7), QString::number(m.id));
    }
}

int FrameView::handleAt(QPointF widget) const {
    if (selected_ < 0) return -1;
    const ArenaShape& a = arenas_[size_t(selected_)];
    const std::vector<ArenaPoint> handles = a.handles();
    for (size_t i = 0; i < handles.size(); ++i) {
        const QPointF d = toWidget(shown(a, handles[i])) - widget;
        if (std::hypot(d.x(), d.y()) <= reach) return int(i);
    }
    return -1;
}

void FrameView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || image_.isNull()) return;
    const QPointF u = toImage(event->position());
    from_ = to_ = u;
    before_ = arenas_;
    if (tool_ == Tool::pick) {
        if (picked) picked(std::floor(u.x()), std::floor(u.y()), event->modifiers() & Qt::ShiftModifier);
    } else if (tool_ == Tool::polygon) {
        const bool closing =
            polygon_.size() >= 3 && std::hypot(toWidget(polygon_.front()).x() - event->position().x(),
                                               toWidget(polygon_.front()).y() - event->position().y()) <= reach;
        closing ? closePolygon() : polygon_.push_back(u);
    } else if (tool_ == Tool::select) {
        handle_ = handleAt(event->position());
        if (handle_ >= 0) {
            drag_ = Drag::handle;
            return;
        }
        selected_ = -1;
        for (size_t i = arenas_.size(); i-- > 0;)
            if (arenas_[i].contains(centre(u.x()), centre(u.y()))) {
                selected_ = int(i);
                break;
            }
        drag_ = selected_ >= 0 ? Drag::move : Drag::none;
    } else {
        drag_ = Drag::draw;
    }
    update();
}

void FrameView::mouseMoveEvent(QMouseEvent* event) {
    to_ = toImage(event->position());
    if (drag_ == Drag::move || drag_ == Drag::handle) {
        ArenaShape& a = arenas_[size_t(selected_)];
        a = before_[size_t(selected_)];
        if (drag_ == Drag::move) {
            a.moveBy(std::round(to_.x() - from_.x()), std::round(to_.y() - from_.y()));
        } else {
            const bool rect = a.kind() == ArenaShape::Kind::rect;
            a.moveHandle(size_t(handle_), rect ? std::round(to_.x()) : centre(to_.x()),
                         rect ? std::round(to_.y()) : centre(to_.y()));
        }
    }
    update();
}

void FrameView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    to_ = toImage(event->position());
    const Drag was = drag_;
    drag_ = Drag::none;
    if (was == Drag::move || was == Drag::handle) return changed();
    if (was != Drag::draw) return update();
    const double dx = to_.x() - from_.x(), dy = to_.y() - from_.y(), length = std::hypot(dx, dy);
    if (tool_ == Tool::scale && length >= 1 && scaleDrawn) scaleDrawn(length);
    const double x0 = std::round(std::min(from_.x(), to_.x())), y0 = std::round(std::min(from_.y(), to_.y()));
    const double w = std::round(std::max(from_.x(), to_.x())) - x0, h = std::round(std::max(from_.y(), to_.y())) - y0;
    if (tool_ == Tool::rect && w >= 1 && h >= 1) arenas_.push_back(ArenaShape::rect(x0, y0, w, h));
    if (tool_ == Tool::circle && std::round(length) >= 1)
        arenas_.push_back(ArenaShape::circle(centre(from_.x()), centre(from_.y()), std::round(length)));
    if (arenas_.size() != before_.size()) selected_ = int(arenas_.size()) - 1, changed();
    update();
}

void FrameView::mouseDoubleClickEvent(QMouseEvent*) {
    if (tool_ == Tool::polygon) closePolygon();
}

void FrameView::closePolygon() {
    // A double click placed its point twice.
    while (polygon_.size() > 1 && polygon_.back() == polygon_[polygon_.size() - 2]) polygon_.pop_back();
    if (polygon_.size() >= 3) {
        std::vector<ArenaPoint> vertices;
        for (const QPointF& u : polygon_) vertices.push_back({centre(u.x()), centre(u.y())});
        arenas_.push_back(ArenaShape::polygon(vertices));
        selected_ = int(arenas_.size()) - 1;
        polygon_.clear();
        return changed();
    }
    polygon_.clear();
    update();
}

void FrameView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && selected_ >= 0) {
        arenas_.erase(arenas_.begin() + selected_);
        selected_ = -1;
        return changed();
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return closePolygon();
    if (event->key() == Qt::Key_Escape) polygon_.clear(), drag_ = Drag::none, update();
    QWidget::keyPressEvent(event);
}
