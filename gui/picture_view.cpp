#include "picture_view.h"

#include <QPainter>

PictureView::PictureView(QString empty, QWidget* parent) : QWidget(parent), empty_(std::move(empty)) {
    setMinimumSize(160, 120);
}

void PictureView::setPicture(const QPixmap& picture) {
    picture_ = picture;
    update();
}

QRect PictureView::shown() const {
    if (picture_.isNull()) return {};
    const QSize size = picture_.size().scaled(this->size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (picture_.isNull()) return p.drawText(rect(), Qt::AlignCenter, empty_);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(shown(), picture_);
}
