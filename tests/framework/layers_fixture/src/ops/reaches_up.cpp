// A lower layer reaching up: the layer check must refuse this tree.
#include "interface/ip_host.h"
#include "flowtrack/search.h"
