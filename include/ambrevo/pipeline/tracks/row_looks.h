// What the identity pass reads off each row of the run.
#pragma once

#include "ambrevo/pipeline/core/posture.h"
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/tracks/identity.h"

// The looks the animals' identities are learned from (identity.h) as a row of the track file
// tells them: its area, shape and posture at the file's decimals.
ambrevo::Looks looksOf(double area, const ObjectShape& shape, const ObjectPosture& posture);
