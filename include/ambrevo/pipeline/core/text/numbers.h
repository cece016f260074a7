// Numbers as the program writes them, in files and on screen, so that one value reads the
// same wherever it appears and a file read back gives the value that was written.
#pragma once

#include <string>

namespace ambrevo::text {

// The shortest text that reads back as exactly `v` ("0.1", "25", "1e+20"); "inf", "-inf"
// or "nan" for a value that is not finite.
std::string shortest(double v);

// The same as a cell of a table: empty when `v` is not finite (a missing value).
std::string shortestCell(double v);

// `v` with `places` decimals, as printf's %.*f writes it ("2.50").
std::string fixed(double v, int places);

// `v` to `digits` significant digits without trailing zeros, as printf's %.*g writes it.
std::string general(double v, int digits = 6);

// `v` rounded to `places` decimals: the number its text with that many decimals reads back as.
double toDecimals(double v, int places);

// A cell of a table: `v` with `places` decimals, rounded as the cell reads back, never
// "-0.000"; empty when not finite (a missing value).
std::string decimalCell(double v, int places);

}  // namespace ambrevo::text
