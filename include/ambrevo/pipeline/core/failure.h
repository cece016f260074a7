// A failure of a library as the run tells it: one line of text.
#pragma once

#include <exception>
#include <string>

// A library's exception as the text of one line.
std::string describeFailure(std::exception_ptr failure);
