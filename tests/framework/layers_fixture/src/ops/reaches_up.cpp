// A lower layer reaching up: the layer check must refuse this tree.
#include "adaptor/ip_host.h"
#include "flowtrack/search.h"
