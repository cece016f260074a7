// Allowed: the declarations-only host header.
#include "interface/ip_host.h"
#include "image/dib.h"
