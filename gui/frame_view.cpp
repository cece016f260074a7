#include "frame_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
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
    // Another size of frame is another input: shown whole.
    if (image.size() != image_.size()) zoom_ = 1, centre_ = QPointF(image.width() / 2.0, image.height() / 2.0);
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
    if (selected_ >= int(arenas.size()) || (selected_ >= 0 && !(arenas[size_t(selected_)] == arenas_[size_t(selected_)])))
        selected_ = -1;
    arenas_ = std::move(arenas);
    update();
}

bool FrameView::deleteSelected() {
    if (selected_ < 0) return false;
    arenas_.erase(arenas_.begin() + selected_);
    selected_ = -1;
    changed("Delete an arena");
    return true;
}

void FrameView::setMarks(std::vector<Mark> marks, long long chosen) {
    marks_ = std::move(marks);
    chosen_ = chosen;
    update();
}

double FrameView::scale() const {
    if (image_.isNull()) return 1;
    return zoom_ * std::min(double(width()) / image_.width(), double(height()) / image_.height());
}

QPointF FrameView::toWidget(QPointF u) const {
    return QPointF(width() / 2.0, height() / 2.0) + (u - centre_) * scale();
}

QPointF FrameView::toImage(QPointF w) const {
    return centre_ + (w - QPointF(width() / 2.0, height() / 2.0)) / scale();
}

void FrameView::zoomBy(double factor, QPointF at) {
    const QPointF held = toImage(at);
    zoom_ = std::clamp(zoom_ * factor, 1.0, 64.0);
    // The image point under `at` stays there.
    centre_ = held - (at - QPointF(width() / 2.0, height() / 2.0)) / scale();
    keepInView();
    update();
}

void FrameView::fit() {
    zoom_ = 1;
    keepInView();
    update();
}

// The centre stays on the frame, and a frame that fits is centred.
void FrameView::keepInView() {
    const double halfW = width() / 2.0 / scale(), halfH = height() / 2.0 / scale();
    const double w = image_.width(), h = image_.height();
    centre_.setX(halfW * 2 >= w ? w / 2 : std::clamp(centre_.x(), halfW, w - halfW));
    centre_.setY(halfH * 2 >= h ? h / 2 : std::clamp(centre_.y(), halfH, h - halfH));
}

void FrameView::wheelEvent(QWheelEvent* event) {
    zoomBy(std::pow(1.25, event->angleDelta().y() / 120.0), event->position());
}

void FrameView::changed(const QString& what) {
    update();
    if (arenasChanged) arenasChanged(what);
}

void FrameView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(40, 40, 40));
    if (image_.isNull()) return;
    p.drawImage(QRectF(toWidget({0, 0}), toWidget(QPointF(image_.width(), image_.height()))), image_);
    p.setRenderHint(QPainter::Antialiasing);
    paintMarks(p, marks_, chosen_, [this](QPointF u) { return toWidget(u); });
    paintArenas(p);
    p.setPen(QPen(chosenColour, 2, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    if (drag_ == Drag::draw && tool_ == Tool::rect) p.drawRect(QRectF(toWidget(from_), toWidget(to_)));
    if (drag_ == Drag::draw && tool_ == Tool::circle) {
        const double r = std::hypot(to_.x() - from_.x(), to_.y() - from_.y()) * scale();
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
            p.drawEllipse(toWidget({n[0] + 0.5, n[1] + 0.5}), n[2] * scale(), n[2] * scale());
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
    if (image_.isNull()) return;
    if (event->button() == Qt::MiddleButton || event->button() == Qt::RightButton) {
        drag_ = Drag::pan, panFrom_ = event->position();
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    const QPointF u = toImage(event->position());
    from_ = to_ = u;
    before_ = arenas_;
    if (tool_ == Tool::pick) {
        if (picked) picked(std::floor(u.x()), std::floor(u.y()), event->modifiers() & Qt::ShiftModifier);
    } else if (tool_ == Tool::polygon) {
        const QPointF d = polygon_.empty() ? QPointF() : toWidget(polygon_.front()) - event->position();
        const bool closing = polygon_.size() >= 3 && std::hypot(d.x(), d.y()) <= reach;
        closing ? closePolygon() : polygon_.push_back(u);
    } else if (tool_ == Tool::select) {
        selectAt(event->position());
    } else {
        drag_ = Drag::draw;
    }
    update();
}

// A handle of the selected arena is dragged, else the arena under the pointer is selected and moved.
void FrameView::selectAt(QPointF widget) {
    handle_ = handleAt(widget);
    if (handle_ >= 0) {
        drag_ = Drag::handle;
        return;
    }
    const QPointF u = toImage(widget);
    selected_ = -1;
    for (size_t i = arenas_.size(); i-- > 0;)
        if (arenas_[i].contains(centre(u.x()), centre(u.y()))) {
            selected_ = int(i);
            break;
        }
    drag_ = selected_ >= 0 ? Drag::move : Drag::none;
}

void FrameView::mouseMoveEvent(QMouseEvent* event) {
    to_ = toImage(event->position());
    if (drag_ == Drag::pan) {
        centre_ -= (event->position() - panFrom_) / scale();
        panFrom_ = event->position();
        keepInView();
    }
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
    const Drag was = drag_;
    if (was == Drag::pan) drag_ = Drag::none;
    if (event->button() != Qt::LeftButton) return;
    to_ = toImage(event->position());
    drag_ = Drag::none;
    if ((was == Drag::move || was == Drag::handle) && arenas_ != before_)
        return changed(was == Drag::move ? "Move an arena" : "Reshape an arena");
    if (was == Drag::draw) finishDrawing();
    update();
}

// The shape or the line drawn by the drag that ended at to_.
void FrameView::finishDrawing() {
    const double dx = to_.x() - from_.x(), dy = to_.y() - from_.y(), length = std::hypot(dx, dy);
    if (tool_ == Tool::scale && length >= 1 && scaleDrawn) scaleDrawn(length);
    const double x0 = std::round(std::min(from_.x(), to_.x())), y0 = std::round(std::min(from_.y(), to_.y()));
    const double w = std::round(std::max(from_.x(), to_.x())) - x0, h = std::round(std::max(from_.y(), to_.y())) - y0;
    if (tool_ == Tool::rect && w >= 1 && h >= 1) arenas_.push_back(ArenaShape::rect(x0, y0, w, h));
    if (tool_ == Tool::circle && std::round(length) >= 1)
        arenas_.push_back(ArenaShape::circle(centre(from_.x()), centre(from_.y()), std::round(length)));
    if (arenas_.size() != before_.size()) selected_ = int(arenas_.size()) - 1, changed("Draw an arena");
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
        return changed("Draw an arena");
    }
    polygon_.clear();
    update();
}

// Delete is the window's: its menu says so.
void FrameView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return closePolygon();
    if (event->key() == Qt::Key_Escape) polygon_.clear(), drag_ = Drag::none, update();
    QWidget::keyPressEvent(event);
}
