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

// A wall clock advanced by the performance counter: the wall-clock time of one moment less the
// counter's reading at that moment.
struct ClockAnchor {
    double frequency;
    double anchor;
    // The wall-clock time now, in seconds.
    double now() const;
};
// Takes the anchor now.
ClockAnchor calibrateClock();

// Wall-clock time in seconds: an anchor taken on first use, advanced by the performance counter.
double preciseTime();
// Pauses the calling thread for that many milliseconds.
void pauseMs(unsigned milliseconds);

// A clock that stands in for the system's behind preciseTime and pauseMs, for harnesses that
// drive a simulated line in simulated time: time-outs then keep their values but pass as fast as
// the harness lets its time run. Both functions are called with the context.
struct ClockHooks {
    double (*now)(void* context);
    void (*pause)(unsigned milliseconds, void* context);
    void* context;
};
// Installs the hooks (null: the system's clock again). They must stay valid while installed.
void setClockHooks(const ClockHooks* hooks);
