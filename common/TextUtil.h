// Small shared helpers: printf-style formatting into a growable text, decimal parsing, and the
// wall-clock time used for every deadline and time stamp.
#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting; starts with 512 bytes and grows until the text fits.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatStringV(const char* format, va_list args);

// Reads a decimal integer as stream extraction does (leading white space, optional sign, digits
// up to the first other character); the default when none can be read or it does not fit 32 bits.
int toInt(const std::string& text, int defaultValue);

// Wall-clock time in seconds: an anchor from the calendar time taken on first use, advanced by the
// performance counter.
double preciseTime();
