// Kept for code written before the window helpers moved down to the framework.
#pragma once

#include "framework/ip_window.h"
