// Allowed: the declarations-only host header.
#include "adaptor/ip_host.h"
#include "image/dib.h"
