// The tracks layer uses core alone: the layer check must refuse the sinks (above it) and the
// sources (before it in the order, but not among its uses).
#include "core/sink.h"
#include "sinks/track_rows.h"
#include "sources/frame_source.h"
#include "tracks/roi.h"
