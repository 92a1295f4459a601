#pragma once

#include <string>
#include <vector>

// A Makefile-style dependency file: "TARGET: \" then one prerequisite per
// line. Spaces, '#' and the backslashes before them are escaped as GCC does
// and '$' is doubled. Raises a PackError for a path that a depfile cannot
// hold (one with a newline).
std::string Depfile(std::string const& target, std::vector<std::string> const& prerequisites);
