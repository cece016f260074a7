// Shadows: a dark animal lit from above at a slant casts a soft shadow on a light floor,
// offset from its body the same way for every animal. Taken into the object, it draws each
// centre towards it and joins animals that do not touch. It shows as the faint pixels of the
// lone animals lying off their bodies in one direction (a soft edge alone lies around the body,
// a pale tail or head points every way) and outnumbering on that side those of the other. It is
// left out by the least contrast above which little of that excess is left, and what little
// the centres keep of it is learned and taken off them. Where the shadow is nearly as dark as
// the animal, that cut eats the bodies' soft rims too: the shadow's shift is then learned as
// well, and a faint pixel no body casts a shadow on is kept.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "crowd/crowd_blobs.h"
#include "crowd/crowd_runs.h"
#include "image/dib.h"

class crowd_shadow {
public:
    void restart();
    // One frame's blobs, cut at the contrast the objects choose (any shadows in them);
    // `floor`: the floor's grey level.
    void note(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs, int minArea,
              double floor);
    // The least contrast that leaves the shadows out, as a share of the floor's grey level;
    // 0 while none are seen.
    double cut() const;
    // Blobs cut above the shadows: how far their centres still lie off the bodies' (the rim
    // of a body on the shadow's side is darker, lying in it), and the shift that undoes it.
    void noteCentres(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs, int minArea);
    double shiftX() const;
    double shiftY() const;
    // The shadow's shift from its body in whole pixels, once enough lone animals have shown
    // it: a faint pixel that no body lies at about that shift before is not a shadow.
    bool placed() const;
    int placeX() const { return placeX_; }
    int placeY() const { return placeY_; }

private:
    struct lone {
        double x, y;                  // the body's centre: its pixels of three quarters of its peak contrast or more
        double ax, ay;                // the direction of their long axis
        double wx, wy;                // the centre of all its pixels weighted by their contrast
        bool faint;                   // whether it has pixels below half its peak contrast
        int peak;                     // its highest contrast
        std::vector<int32_t> pixels;  // x, y, contrast of each
    };
    bool measure(const dib_base& weight, const crowd_blobs& blobs, const std::vector<crowd_run>& runs, int32_t blob,
                 lone& l, double& dx, double& dy) const;
    // (`kept`: the share of the pixels on the bodies' far side the cut keeps.)
    int balance(const std::vector<lone>& lones, double ux, double uy, double& lopsided, double& kept);
    void notePlace(const std::vector<lone>& lones);

    using side = std::array<int64_t, 256>;  // lone animals' pixels of each contrast on one side
    std::vector<side> toward_, away_;
    bool found_ = false;
    // Over the frames: the faint parts' offsets summed over lone animals, their lengths summed,
    // their number; the centres' offsets from the bodies', their number.
    double dx_ = 0, dy_ = 0, dn_ = 0, lones_ = 0, shiftX_ = 0, shiftY_ = 0, shifts_ = 0;
    int frames_ = 0;
    // Per shift of the lone animals' bodies (within kReach each way), the contrast of their
    // faint pixels it lands on; the lone animals counted; the shift chosen from them.
    std::vector<int64_t> landed_;
    double placings_ = 0;
    int placeX_ = 0, placeY_ = 0;
    double cut_ = 0;  // the last frame's, as a share of its floor's grey
};
