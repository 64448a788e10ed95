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
/* The next call of one of the functions fails with `value` as its status (0 cancels); or the
 * next queue query that finds bytes reports `value` more than there are. */
enum { FUZZ_FN_OPEN, FUZZ_FN_READ, FUZZ_FN_QUEUE, FUZZ_FN_BITMODE, FUZZ_OVERSTATE, FUZZ_ARMS };
void fuzz_line_arm(int what, uint32_t value);
/* Simulated time in seconds: a pause adds to it. */
double* fuzz_line_clock(void);
/* What the host wrote (accepted bytes) or read, since the reset. */
size_t fuzz_line_record(int written, const uint8_t** data);

#ifdef __cplusplus
}
#endif

#endif
