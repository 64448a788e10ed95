/* The fuzzing D2XX driver's one bridge. Written bytes go to the harness's handler, which answers
 * with fuzz_line_deliver. Time is simulated (100 us per call; an empty queue query runs on to the
 * next delivery, or 50 ms) and is the library's clock, so time-outs cost no real time. */
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

/* Starts afresh (closed, nothing queued or recorded, all memory freed) with the one description
 * FT_OpenEx opens. */
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
