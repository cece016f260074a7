// The frame on screen, with what the user draws on it: the arenas (drawn, moved, reshaped
// by their handles, deleted, each with its number), the line that sets the scale, and the
// tracks of a finished run (each identity in its colour with a tail of its last positions),
// which a click picks.
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

class FrameView : public QWidget {
public:
    enum class Tool { select, rect, circle, polygon, scale, pick };
    struct Mark {
        long long id = 0;
        QColor colour;
        std::vector<QPointF> tail;  // positions up to the frame on screen, oldest first (image coordinates)
        bool seen = false;          // whether the last of them is on the frame on screen
    };

    explicit FrameView(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    void setTool(Tool tool);
    const std::vector<ArenaShape>& arenas() const { return arenas_; }
    void setArenas(std::vector<ArenaShape> arenas);
    int selected() const { return selected_; }
    void setMarks(std::vector<Mark> marks, long long chosen);
    QPointF toWidget(QPointF image) const;
    QPointF toImage(QPointF widget) const;

    std::function<void()> arenasChanged;
    std::function<void(double length)> scaleDrawn;                // in pixels
    std::function<void(double x, double y, bool second)> picked;  // a pixel centre; second: with Shift

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    double zoom() const;
    void paintArenas(QPainter& p) const;
    void paintMarks(QPainter& p) const;
    void closePolygon();
    void changed();
    int handleAt(QPointF widget) const;

    QImage image_;
    Tool tool_ = Tool::select;
    std::vector<ArenaShape> arenas_;
    int selected_ = -1;
    // A drag in progress: where it started, what it does, the shape as it was.
    enum class Drag { none, draw, move, handle } drag_ = Drag::none;
    QPointF from_, to_;
    int handle_ = -1;
    std::vector<ArenaShape> before_;
    std::vector<QPointF> polygon_;  // vertices placed so far (image coordinates)
    std::vector<Mark> marks_;
    long long chosen_ = -1;
};
