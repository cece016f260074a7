// What is drawn over a frame besides the arenas: the tracks of a run under review (each identity
// in its colour, with a tail of its last positions and its number) or the objects a preview
// found (with the numbers the track file gives them). The same drawing serves the window and
// the exported video.
#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <functional>
#include <map>
#include <vector>

#include <opencv2/core.hpp>

#include "ip_host.h"
#include "track_table.h"

class QPainter;

struct Mark {
    long long id = 0;
    QColor colour;
    std::vector<QPointF> tail;  // positions up to the frame shown, oldest first (image coordinates)
    bool seen = false;          // whether the last of them is on the frame shown
};

// The rows of a track table by frame.
class TrackIndex {
public:
    explicit TrackIndex(const ambrevo::TrackTable* table = nullptr);
    // The rows of `frame`; none when it has none.
    const std::vector<size_t>& rows(long long frame) const;
    // Every identity seen from `frame - tail` to `frame`.
    std::vector<Mark> marksAt(long long frame, int tail) const;
    // The frames with rows: the first and the last (-1 when there are none).
    long long first() const { return byFrame_.empty() ? -1 : byFrame_.begin()->first; }
    long long last() const { return byFrame_.empty() ? -1 : byFrame_.rbegin()->first; }
    // Rows of objects seen, not counting the rows that mark a track missing.
    size_t seenRows() const { return seen_; }

private:
    const ambrevo::TrackTable* table_;
    std::map<long long, std::vector<size_t>> byFrame_;
    size_t seen_ = 0;
};

// The objects of one frame as marks, numbered as the track file's `object` column numbers them.
std::vector<Mark> objectMarks(const std::vector<ip_objectRecord>& objects);

// The summary's settings as a track file tells them: its scale, frame rate and arenas.
ambrevo::SummarySettings summarySettings(const ambrevo::TrackTable& table);

// A BGR or grey picture as an image of its own.
QImage toQImage(const cv::Mat& picture);

// `place` maps image coordinates to the painter's; `chosen` is drawn larger.
void paintMarks(QPainter& p, const std::vector<Mark>& marks, long long chosen,
                const std::function<QPointF(QPointF)>& place);
