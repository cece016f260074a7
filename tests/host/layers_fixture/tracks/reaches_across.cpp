// The tracks layer uses core alone: the layer check must refuse the sinks (above it) and the
// sources (before it in the order, but not among its uses).
#include "ambrevo/pipeline/core/sink.h"
#include "ambrevo/pipeline/sinks/track_rows.h"
#include "ambrevo/pipeline/sources/frame_source.h"
#include "ambrevo/pipeline/tracks/roi.h"
