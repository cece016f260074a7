// Crowd tracker: every dark (or light) object of the frame against a learned background,
// blobs of touching animals split into one object per animal, and identities kept from
// frame to frame by optimal assignment. No limit on the number of objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_early.h"
#include "crowd/crowd_foreground.h"
#include "crowd/crowd_near.h"
#include "crowd/crowd_split.h"
#include "crowd/crowd_steady.h"
#include "crowd/crowd_tracks.h"
#include "framework/ip_base.h"
#include "framework/ip_counters.h"
#include "framework/ip_objects.h"
#include "framework/ip_params.h"

struct crowd_settings {
    int polarity = 0;    // 0 dark, 1 light, 2 both
    int animals = 0;     // in view, 0 unknown
    int background = 0;  // 0 learned, 1 the level `threshold`, 2 the floor's level found in each frame
    int threshold = 128;
    int contrast = 0;  // 0: chosen from the video
    int minArea = 10;
    int maxArea = 0;  // 0: no limit
    int samples = 9;
    int sampleEvery = 10;
    double maxJump = 0;  // 0: one animal's diameter
    int memory = 25;
    bool split = true;
    bool marks = true;
};

class ip_crowd : public ip_base, public ip_objectSource, public ip_parameters, public ip_counterSource {
public:
    static constexpr const char* registeredName = "crowd";
    enum { stageCount = 5 };

    explicit ip_crowd(const dib_fmt* format);
    ~ip_crowd() override;

    const char* name() const override { return registeredName; }
    dib_base* dstDib() override { return dst_.get(); }
    void config(ip_console* console) override;
    void profile(ip_profiler* profiler) override;
    void process(const dib_base* src, ip_eventList* events, ip_overlay* overlay) override;
    void reformat() override;

    // The objects of the last frame, each with its track's id as index.
    int objects(ip_objectRecord* out, int capacity) const override;
    int details(ip_objectDetails* out, int capacity) const override;
    // Frames left out of the background, not searched, or searched before it was learned.
    void counterValues(int64_t* values, int count) const override;

    int paramCount() const override;
    const ip_paramInfo& paramInfo(int index) const override;
    double paramValue(int index) const override;
    void storeParam(int index, double value) override;
    std::string paramConflict(int index, double value) const override;

    const crowd_settings& settings() const { return settings_; }
    // The area of one animal as learned so far (0 before the first object).
    double singleArea() const { return singleArea_; }
    const crowd_tracker& tracker() const { return tracker_; }
    // The learned background, or null while it is being learned or not used.
    const dib_base* background() const {
        return settings_.background == 0 ? foreground_.background().image() : nullptr;
    }
    // The contrast an object's pixel needed in the last frame (the setting, or the one chosen).
    int contrastInUse() const { return foreground_.cut(); }

private:
    struct found {
        int32_t sighting;  // into sightings_
        int32_t id;
        int32_t blob;
        float vx, vy;  // the track's
        int32_t seen;
    };

    // Settings that change what is learned start the learning again.
    void restart();
    crowd_detectSettings detectSettings() const;
    // This frame's blobs, the arena's structure left out while the floor is guessed; the
    // background learns from them.
    void label(const crowd_detectSettings& detection);
    // Whether this frame's floor is still guessed (floorGuessed_), and on the first one searched
    // against the samples' median, what the tracks learned before it forgotten.
    void noteFloorLearned();
    // This frame's blobs worth keeping and, per blob, how many animals it holds.
    void count();
    // The blobs within the area limits, and one animal's area; false when there are none.
    bool keep();
    // Which tracks expect their animal in which kept blob.
    void expect();
    // Brings the animals of all blobs together to the number counted.
    void toAnimals();
    // The bodies of the tracks expected in kept blob i, as predicted for this frame.
    void expectedIn(size_t i, std::vector<crowd_body>& bodies) const;
    void detect();
    // How wide one animal is for its length (its width over its length, pooled over recent
    // frames), from the kept blobs of about one animal's area measured whole.
    void measureWholes();
    // Kept blob i as one object, measured on first demand.
    const crowd_sighting& wholeOf(size_t i);
    // Whether the frame's edge cuts kept blob i: an animal half in view, whose shape and
    // size are the view's, not its own.
    bool cutByTheView(size_t i) const;
    // Whether kept blob i is shaped like one animal (true when that cannot be told).
    bool single(size_t i);
    // Whether kept blob i is elongated and as wide for its length as one animal of the
    // kind, within the factor `spread`, whatever its size (false when that cannot be told).
    bool shapedLikeOne(size_t i, double spread);
    // The areas of this frame's blobs shaped like one animal, and from them the largest
    // animals' area.
    void noteLargest();
    // Whether kept blob i is shaped like one animal and no larger than the largest animals.
    bool oneOfAnySize(size_t i);
    // Whether kept blob i, shaped like one animal of any size, holds the two tracks expected
    // in it lying end to end: both on halves of that one animal.
    bool halvesOfOne(size_t i);
    // Without the count, the kept blobs under a speck's share of one animal lying alone, no other
    // blob within an animal's length (loneSpeck_): a grain, the ghost of a shadow, a glint's edge,
    // no animal. The pieces of one animal cut apart lie together, and are kept.
    void findLoneSpecks();
    // How many of the tracks expected in kept blob i ever saw their animal alone.
    int sizedIn(size_t i) const;
    // The shape of an animal no track knows: the tracks' typical one, or while none is
    // learned, that of this frame's elongated animals alone.
    crowd_body typicalBody() const;
    // The objects of kept blob i, which holds several animals.
    void splitInto(size_t i, const crowd_body& typical);
    // Without the count, which of the parts kept blob i was cut into repeat another's animal
    // (repeated_): a second track's body fitted onto it is no other animal.
    void findRepeats(size_t i);
    // The object of a blob that holds one animal, with its posture when it is elongated.
    crowd_sighting whole(int32_t blob);
    // The pixels of a blob.
    void gather(int32_t blob, std::vector<crowd_pixel>& pixels) const;
    // Each found object's looks, for whole round objects measured on first demand.
    void lookAll() const;
    // Where the frame was steadied against the camera's shake, the objects found in the
    // reference's place are moved to where the frame shows them.
    void toFramePlaces();
    void draw(ip_overlay* overlay, bool clicked);
    // Index into blobs of the blob at or next to (x, y), or -1.
    int blobAt(double x, double y) const;
    std::string valuesText(int group) const;

    crowd_settings settings_;
    std::unique_ptr<dib_base> dst_, weight_, grey_, steadied_;
    crowd_steady steady_;
    crowd_foreground foreground_;
    crowd_early early_;
    bool floorGuessed_ = false;  // this frame was compared with the floor guessed from block medians
    std::vector<crowd_run> runs_;
    std::vector<int32_t> rowStart_;
    crowd_blobs blobs_;
    mutable crowd_splitter splitter_;  // also measures the looks of discs cut out of blobs, on demand
    crowd_tracker tracker_;

    std::vector<int32_t> kept_;         // blobs within the area limits
    std::vector<int32_t> share_;        // animals per blob, parallel to kept_
    std::vector<int32_t> keptOf_;       // per blob, its index into kept_, or -1
    std::vector<char> known_;           // per kept blob: its share told by the tracks that went into it
    std::vector<char> loneSpeck_;       // per kept blob, findLoneSpecks's verdict
    std::vector<crowd_point> centres_;  // per kept blob, its centre
    crowd_near near_;
    std::vector<int32_t> nearby_;
    std::vector<double> ratio_;                         // per kept blob, its area over one animal's
    std::vector<double> expectedArea_;                  // per kept blob, the areas of the tracks expecting it
    std::vector<int32_t> trackBlob_;                    // per track, the index into kept_ of the blob it expects, or -1
    std::vector<int32_t> blobTrackStart_, blobTracks_;  // per kept blob, the tracks expecting it
    std::vector<double> areaHistory_;
    std::vector<double> aspectHistory_;   // per frame, an elongated animal's width over its length
    double aspect_ = 0;                   // their median; 0: not known
    int64_t moreThanCounted_ = 0;         // frames with more animals alone than counted
    std::vector<double> onesAreas_;       // areas of recent blobs shaped like one animal
    double largest_ = 0;                  // the largest animals' area; 0: not known
    std::vector<crowd_sighting> wholes_;  // per kept blob, the blob as one object
    std::vector<char> measured_;          // per kept blob, wholes_ measured
    double singleArea_ = 0;
    mutable std::vector<crowd_sighting> sightings_;  // this frame's; their looks measured on demand
    std::vector<int32_t> identity_, blobOfObject_;
    std::vector<crowd_body> bodies_;
    crowd_body typical_;     // the tracks' typical animal this frame (crowd_tracker::typical)
    bool kindTold_ = false;  // whether the tracks tell it (else a track's own shape stands)
    std::vector<crowd_part> parts_;
    std::vector<double> shares_;  // per part, the share of its body's pixels inside others too
    std::vector<char> repeated_;  // per part, findRepeats's verdict
    std::vector<crowd_pixel> pixels_;
    crowd_midliner midliner_;
    // The blobs cut into discs this frame whose looks are measured on demand: their discs in
    // lookDiscs_ (first, count), and per disc its sighting or -1.
    struct disc_blob {
        int32_t blob, first, count;
    };
    std::vector<disc_blob> discBlobs_;
    std::vector<crowd_body> lookDiscs_;
    std::vector<int32_t> discSighting_;
    mutable std::vector<crowd_looks> looks_;
    mutable std::vector<found> found_;
    mutable bool looked_ = false;  // found_'s looks all measured
    int32_t selected_ = -1;        // track id
    int32_t times_[stageCount] = {0, 0, 0, 0, 0};
};
