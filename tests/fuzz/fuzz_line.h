/* Control interface of the fuzzing D2XX driver: one bridge whose line runs in simulated time.
 *
 * The driver (built as the D2XX library the plug-in loads by name) knows one bridge. Bytes the
 * host writes go to the harness's write handler, which decides what FT_Write reports and answers
 * with fuzz_line_deliver. Time is simulated: every D2XX call lets 100 microseconds pass, a queue
 * query that finds nothing lets time run on to the next delivery (or 50 ms when none is due), and
 * fuzz_line_pause lets the time paused pass at once. The harness installs fuzz_line_now and
 * fuzz_line_pause as the library's clock, so the library's time-outs keep their values but cost
 * no real time. Single-threaded, like the fuzzers that use it. */
#ifndef HVSRC_FUZZ_LINE_H
#define HVSRC_FUZZ_LINE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called for every FT_Write with the bytes offered; sets *accepted to the count FT_Write reports
 * (it may claim more than it was offered) and returns the status FT_Write returns. Only the
 * accepted bytes (at most those offered) count as written. */
typedef uint32_t (*FuzzWriteHandler)(void* context, const uint8_t* data, uint32_t length,
                                     uint32_t* accepted);

/* Starts afresh: the bridge is closed, nothing is queued or recorded (all memory of the previous
 * input is freed), and the one bridge has the given description (the only one FT_OpenEx by
 * description opens). */
void fuzz_line_reset(const char* description, FuzzWriteHandler handler, void* context);
/* Queues bytes for the host, arriving `delay` seconds after now or after the previous delivery,
 * whichever is later. */
void fuzz_line_deliver(const void* data, size_t length, double delay);
/* The next call of one of these fails with `status` (0 cancels). */
enum { FUZZ_FN_OPEN, FUZZ_FN_READ, FUZZ_FN_QUEUE, FUZZ_FN_BITMODE, FUZZ_FN_COUNT };
void fuzz_line_fail_next(int function, uint32_t status);
/* The next queue query that finds bytes reports `extra` more than there are. */
void fuzz_line_overstate_next(uint32_t extra);

/* Simulated time in seconds, and a pause that lets it pass. */
double fuzz_line_now(void);
void fuzz_line_pause(unsigned milliseconds);

/* What the host wrote (accepted bytes) and what it read, since the reset. */
size_t fuzz_line_written(const uint8_t** data);
size_t fuzz_line_read(const uint8_t** data);

#ifdef __cplusplus
}
#endif

#endif
