// Re-detection: compare the tracks with the regions detected afresh in the same frame.
#pragma once

#include "flowtrack/MItem.h"

// Single object: keeps, moves or loses the first track against the detections D (n of
// them); the regions have N rays. False means the track is lost.
bool checkSingle(MList& tracks, MList& D, int n, int N);

// Several objects: works out how many tracks each detection should hold and puts
// collapsed or surplus tracks onto unclaimed detections. Returns the number moved.
int assignObjects(MList& tracks, MList& D, int noP, int noK, int frame, int N);
