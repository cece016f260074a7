// --link's text read into the linker's settings, with a message for the user where it is wrong.
#pragma once

#include <string>

#include "ambrevo/pipeline/core/failure.h"
#include "ambrevo/pipeline/core/link_settings.h"

// Parses --link MAX_STEP[,MEMORY][,predict][,global]; a usage failure where it does not read.
Expected<ambrevo::LinkSettings> parseLinkOption(const std::string& text);
