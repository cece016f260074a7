// What is drawn over a frame besides the arenas: the tracks of a run under review (each identity
// in its colour, with a tail of its last positions and its number) or the objects a preview
// found (with the numbers the track file gives them). The same drawing serves the window and
// the exported video.
#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include <opencv2/core.hpp>

#include "ambrevo/pipeline/tracks/track_table.h"
#include "ip_host.h"

class QPainter;

struct Mark {
    long long id = 0;
    QColor colour;
    std::vector<QPointF> tail;  // positions up to the frame shown, oldest first (image coordinates)
    bool seen = false;          // whether the last of them is on the frame shown
    // On the frame shown, where the track file tells them: the body's midline (head or one end
    // first), whether its first point is the head, the heading in radians (NaN: not told),
    // and whether the identity is less sure than the review asks.
    std::vector<QPointF> midline;
    bool head = false;
    double heading = std::nan("");
    bool unsure = false;
};

// Frames where a track's identity is less sure than asked: consecutive rows of one track
// under the threshold, with the lowest confidence among them.
struct UnsureStretch {
    long long id = 0, first = 0, last = 0;
    double lowest = 1;
};

// The rows of a track table by frame.
class TrackIndex {
public:
    explicit TrackIndex(const ambrevo::TrackTable* table = nullptr);
    // The rows of `frame`; none when it has none.
    const std::vector<size_t>& rows(long long frame) const;
    // Every identity seen from `frame - tail` to `frame`, with the posture of its row on
    // `frame` and unsure when its confidence there is below `unsureBelow`.
    std::vector<Mark> marksAt(long long frame, int tail, double unsureBelow = 0) const;
    // Whether the file tells how sure its rows' identities are (its `confidence` column).
    bool hasConfidence() const { return confident_; }
    // The stretches under `below`, in the order of their first frames.
    std::vector<UnsureStretch> unsureStretches(double below) const;
    // The frames with rows: the first and the last (-1 when there are none).
    long long first() const { return byFrame_.empty() ? -1 : byFrame_.begin()->first; }
    long long last() const { return byFrame_.empty() ? -1 : byFrame_.rbegin()->first; }
    // Rows of objects seen, not counting the rows that mark a track missing.
    size_t seenRows() const { return seen_; }

private:
    void addPosture(Mark& mark, size_t row) const;

    const ambrevo::TrackTable* table_;
    std::map<long long, std::vector<size_t>> byFrame_;
    size_t seen_ = 0;
    bool confident_ = false;
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
