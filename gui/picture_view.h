// A picture fitted into the space it has, its proportions kept: the trajectories and the heat
// map of a 1080p run are seen whole however small the window.
#pragma once

#include <QPixmap>
#include <QWidget>

class PictureView : public QWidget {
    Q_OBJECT

public:
    explicit PictureView(QString empty, QWidget* parent = nullptr);
    // A null pixmap shows the text given when made.
    void setPicture(const QPixmap& picture);
    const QPixmap& picture() const { return picture_; }
    // Where the picture is drawn, in the widget's coordinates.
    QRect shown() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString empty_;
    QPixmap picture_;
};
