// The frame on screen, with what the user draws on it: the arenas (drawn, moved, reshaped
// by their handles, deleted, each with its number), the line that sets the scale, and the
// marks (the tracks of a finished run, which a click picks, or the objects a preview found).
// The wheel zooms about the pointer; the middle or right button drags the picture.
//
// Image coordinates here are continuous: pixel (px, py) covers [px, px + 1) x [py, py + 1).
// The arenas keep the program's convention, where a pixel's centre has its integer
// coordinates; a rectangle's corners lie on pixel borders, so they are the same in both.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <vector>

#include "arena_shape.h"
#include "marks.h"

class FrameView : public QWidget {
public:
    enum class Tool { select, rect, circle, polygon, scale, pick };

    explicit FrameView(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    void setTool(Tool tool);
    const std::vector<ArenaShape>& arenas() const { return arenas_; }
    // The selection stays where the arenas before it stay.
    void setArenas(std::vector<ArenaShape> arenas);
    int selected() const { return selected_; }
    // Removes the selected arena; false when none is.
    bool deleteSelected();
    void setMarks(std::vector<Mark> marks, long long chosen);
    const std::vector<Mark>& marks() const { return marks_; }
    QPointF toWidget(QPointF image) const;
    QPointF toImage(QPointF widget) const;
    // Widget pixels per image pixel.
    double scale() const;
    // Zoom by `factor` about the widget point `at`; 1 is the whole frame fitted in the widget.
    void zoomBy(double factor, QPointF at);
    void zoomBy(double factor) { zoomBy(factor, QPointF(width() / 2.0, height() / 2.0)); }
    void fit();
    double zoom() const { return zoom_; }

    // Told what the user did: "Draw an arena", "Move an arena", ...
    std::function<void(const QString& what)> arenasChanged;
    std::function<void(double length)> scaleDrawn;                // in pixels
    std::function<void(double x, double y, bool second)> picked;  // a pixel centre; second: with Shift

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void paintArenas(QPainter& p) const;
    void closePolygon();
    void changed(const QString& what);
    int handleAt(QPointF widget) const;
    void selectAt(QPointF widget);
    void finishDrawing();
    void keepInView();

    QImage image_;
    Tool tool_ = Tool::select;
    std::vector<ArenaShape> arenas_;
    int selected_ = -1;
    // A drag in progress: where it started, what it does, the shape as it was.
    enum class Drag { none, draw, move, handle, pan } drag_ = Drag::none;
    QPointF from_, to_, panFrom_;
    int handle_ = -1;
    std::vector<ArenaShape> before_;
    std::vector<QPointF> polygon_;  // vertices placed so far (image coordinates)
    std::vector<Mark> marks_;
    long long chosen_ = -1;
    double zoom_ = 1;  // over the fitted frame
    QPointF centre_;   // the image point at the widget's centre
};
