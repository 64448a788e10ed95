/* Control interface of the stand-in D2XX driver. Tests and hvsrc-host attach simulated bridges,
 * give each a peer (a scripted exchange or a model of a source), inject faults and read back
 * what the host did to each bridge. All functions are thread-safe.
 *
 * Bridges are named by the id that sim_attach returns (1, 2, ...); ids are never reused until
 * sim_reset. The order of attachment is the order in which FT_ListDevices reports the bridges.
 * Functions returning int give 0 (or the id) on success and -1 for an unknown bridge or a bad
 * argument. A detached bridge keeps its record for the read-back functions until sim_reset.
 *
 * How the simulated driver behaves:
 * - FT_ListDevices: FT_LIST_ALL with FT_OPEN_BY_DESCRIPTION or _BY_SERIAL_NUMBER fills the
 *   caller's array of buffers up to its terminating null pointer (never more entries, at most 64
 *   description or 16 serial characters + NUL each) and reports the number of attached bridges,
 *   which may exceed the array; FT_LIST_BY_INDEX with either kind writes one text for the index
 *   passed in the pointer (FT_DEVICE_NOT_FOUND for a bad index); FT_LIST_NUMBER_ONLY writes the
 *   count into pArg1. Other flags: FT_INVALID_PARAMETER.
 * - FT_OpenEx by description (2) or serial (1) matches the full text exactly and takes the first
 *   attached match: none gives FT_DEVICE_NOT_FOUND, an open one FT_DEVICE_NOT_OPENED (also when a
 *   later bridge has the same text). Each open starts from the driver's defaults (all settings 0,
 *   latency 16 ms, purge count 0; open_count keeps counting). Handles are opaque values checked
 *   on every call: a closed, foreign or pre-reset handle gives FT_INVALID_HANDLE.
 * - FT_Read waits until its count is visible or the read time-out passes and returns FT_OK with
 *   the count read. A read time-out of 0 (the default) waits without a time-out, like the
 *   vendor's driver, but no read ever waits longer than 30 s. A blocked read returns FT_IO_ERROR
 *   when the bridge is unplugged or detached meanwhile, FT_INVALID_HANDLE when it is closed or
 *   reset. FT_GetQueueStatus never blocks. FT_Purge with bit 1 drops the input that has
 *   arrived (see sim_deliver and wire timing below, whether handed over or not); later
 *   deliveries and bytes still on the line arrive afterwards.
 *   FT_SetBaudRate rejects 0 and rates above 3000000 with FT_INVALID_BAUD_RATE.
 * - Unplugged or detached bridges fail FT_Read, FT_Write and FT_GetQueueStatus with FT_IO_ERROR;
 *   the settings functions and FT_Close still succeed, and an unplugged (not detached) bridge is
 *   still listed and can be opened. */
#ifndef HVSRC_SIMCTL_H
#define HVSRC_SIMCTL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Detaches every bridge, drops every peer, fault and counter, switches wire timing off. */
void sim_reset(void);

/* Attaches a bridge; returns its id (> 0). A bridge detached while open behaves as unplugged.
 * Null texts count as empty ones. */
int sim_attach(const char* description, const char* serial);
int sim_detach(int bridge);
int sim_bridge_count(void);

/* --- Peers ------------------------------------------------------------------------------
 * A peer is the device behind the bridge. on_write receives every byte block the host writes
 * (called without any simulator lock held, from the writing thread); the peer answers with
 * sim_deliver. destroy, when not null, is called when the peer is replaced or the bridge is
 * detached or reset.
 * More precisely: on_write runs after the block is recorded for sim_written, before FT_Write
 * returns, and may call any function of this interface (sim_deliver, sim_written, ... for its own
 * bridge). on_open runs in the opening thread after FT_OpenEx succeeded, also without a lock.
 * destroy runs once, without a lock, after every on_write call in progress has returned. */
typedef struct SimPeer {
    void (*on_write)(void* context, int bridge, const uint8_t* data, size_t length);
    void (*on_open)(void* context, int bridge); /* optional: called after a successful open */
    void (*destroy)(void* context);
    void* context;
} SimPeer;
/* Replaces the bridge's peer with a copy of *peer (null: no peer; the old one is destroyed).
 * On failure (-1: no such attached bridge) the peer is not taken and destroy is not called. */
int sim_set_peer(int bridge, const SimPeer* peer);

/* Queues bytes for the host to read, available delay_ms after now (after the previous delivery
 * when that is later, so deliveries keep their order). Works whether or not the bridge is open;
 * -1 for a detached bridge. */
int sim_deliver(int bridge, const void* data, size_t length, unsigned delay_ms);

/* Scripted peer: replaces the bridge's peer with a queue of expected writes. Each expectation
 * waits until the host has written `expect` (accumulated across writes); then `reply` is
 * delivered in pieces of `chunk` bytes (0: all at once), the first after delay_ms and each
 * further piece chunk_delay_ms later. An expectation with expect_length 0 replies at once when
 * it is added (or after the previous one is satisfied). Writes that do not match the head
 * expectation are recorded as mismatches. */
/* Details: adding to a bridge whose peer is already scripted appends to its queue; any other
 * peer is replaced. A write (or the bytes left over when it satisfied an expectation) that
 * diverges from the head expectation, or that arrives when nothing is expected, counts as one
 * mismatch and is dropped; the head expectation keeps waiting. One write may satisfy several
 * expectations in turn; their replies are queued in order. */
int sim_script_expect(int bridge, const void* expect, size_t expect_length, const void* reply,
                      size_t reply_length, size_t chunk, unsigned delay_ms,
                      unsigned chunk_delay_ms);
/* Number of expectations not yet satisfied, and writes that matched no expectation. */
int sim_script_pending(int bridge);
int sim_script_mismatches(int bridge);

/* --- Faults ------------------------------------------------------------------------------
 * The next call of the named D2XX function ("FT_Read", ...) on this bridge (bridge 0: any
 * bridge, and the only way to reach FT_ListDevices and FT_OpenEx) returns `status` without
 * doing anything. */
int sim_fail_next(int bridge, const char* function, uint32_t status);
/* (A bridge's own failure is used before one set for any bridge. FT_OpenEx also takes the
 * failure set for the bridge it would open. Calls with an invalid handle fail
 * FT_INVALID_HANDLE and leave the failure pending. -1 for an unknown function name.) */
/* The next FT_ListDevices that lists all bridges fills the caller's slots and count as usual and
 * then returns `status` (a listing that fails part-way). */
int sim_fail_listing_late(uint32_t status);
/* The next call of "FT_Read", "FT_Write" or "FT_GetQueueStatus" on this bridge does its work
 * but reports `count` as its byte count (a driver that lies about counts). */
int sim_fake_count_next(int bridge, const char* function, uint32_t count);
/* (FT_Read still copies only the bytes it really read, never more than asked; FT_Write records
 * all the bytes; FT_GetQueueStatus reports the fake length once. Bridge 0 is not accepted.) */
/* Unplugged while open: FT_Read, FT_Write and FT_GetQueueStatus fail with 4 (FT_IO_ERROR);
 * plugging back in (0) restores the bridge. */
int sim_unplug(int bridge, int unplugged);
/* Unplugs the bridge after_seconds from now and, when for_seconds > 0, plugs it back in that
 * much later (else it stays unplugged); both at most a year. sim_unplug cancels the schedule. */
int sim_unplug_at(int bridge, double after_seconds, double for_seconds);
/* Stalled: FT_Write accepts 0 bytes and returns FT_OK. */
int sim_stall(int bridge, int stalled);
/* Write hook: called in the writing thread after every FT_Write on this bridge that did its work,
 * once the peer has seen the bytes and before FT_Write returns, without any simulator lock held
 * (it may call any function of this interface). A test can thus act at an exact point of an
 * exchange, for example once a request is complete and before its answer is read. Null removes
 * it. */
typedef void (*SimWriteHook)(void* context, int bridge);
int sim_set_write_hook(int bridge, SimWriteHook hook, void* context);
/* Flooding: input that never stops; the queue always holds `byte` repeated. (Delivered bytes
 * are read first, then the flood byte fills every read; FT_GetQueueStatus reports the delivered
 * bytes + 4096; purges do not stop it.) */
int sim_flood(int bridge, int on, uint8_t byte);
/* Description reported by FT_ListDevices without its terminating zero (64 bytes, no NUL; a
 * shorter description is padded with blanks to 64). */
int sim_unterminated_description(int bridge, int on);

/* --- Read-back ----------------------------------------------------------------------------- */
/* Copies up to `capacity` of the bytes written so far; returns the total count written. */
size_t sim_written(int bridge, void* buffer, size_t capacity);
void sim_clear_written(int bridge);
/* Bytes still waiting for the host (delivered, whether or not their time has come; flood bytes
 * are not counted). */
size_t sim_pending_input(int bridge);

typedef struct SimSettings {
    int open; /* 1 while open */
    int unplugged;
    uint32_t baud_rate; /* 0 until FT_SetBaudRate */
    uint8_t word_length, stop_bits, parity;
    uint8_t latency_ms;
    uint32_t read_timeout_ms, write_timeout_ms;
    uint32_t usb_in_size, usb_out_size;
    uint16_t flow_control;
    uint8_t xon, xoff;
    uint8_t bit_mask, bit_mode;
    uint32_t purge_count; /* FT_Purge calls */
    uint32_t last_purge_mask;
    uint32_t open_count; /* successful opens */
} SimSettings;
int sim_settings(int bridge, SimSettings* out);

/* Calls of the named D2XX function, on one bridge (bridge 0: all calls, listing included).
 * Every call counts, failed ones too; a call with an invalid handle counts only in the total.
 * FT_OpenEx counts on the bridge it matched. 0 for an unknown name or bridge. */
unsigned sim_call_count(int bridge, const char* function);

/* Wire timing, off by default and after sim_reset; taken per delivery and per write.
 * Off: a delivery shows whole once its delay has passed; FT_Write returns at once, after the peer
 * saw the whole block; a stalled bridge's FT_Write returns 0 bytes written at once.
 * On: each byte takes 10 bit times at the bridge's baud rate (9600 before FT_SetBaudRate).
 * - To the host: a delivery starts on the line after its delay and after the last byte of the
 *   previous delivery; its byte i (from 0) arrives at the bridge start + (i + 1) byte times. The
 *   bridge hands arrived bytes over (FT_GetQueueStatus and FT_Read see them) at the ticks of its
 *   latency timer: every latency (as FT_SetLatencyTimer set it when the delivery was made),
 *   counted from the bridge's open; at a tick, every byte that has arrived by then. When 62
 *   bytes wait (a full USB packet) they are handed over at once, at the arrival of the 62nd,
 *   and the ticks count from there. A latency of 0 hands each byte over as it arrives. So at 9600
 *   baud and 2 ms, 100 bytes delivered at t take 104.2 ms on the line; the queue steps by one or
 *   two bytes on every tick and shows the last byte at the first tick at or after t + 104.2 ms.
 * - From the host: FT_Write puts its bytes on the line after those of earlier writes and
 *   returns when its last byte has left (length byte times later); the peer's on_write sees the
 *   bytes as they leave, in one or more calls, each made once its last byte has left. A source
 *   thus answers after the last byte of a request, and the byte times of the request and the
 *   answer add up, as on a real exchange.
 * - A stalled bridge's FT_Write waits for the write time-out (FT_SetTimeouts; 0: up to 30 s) and
 *   then returns FT_OK with 0 bytes written; when the stall ends first it goes on as usual, and
 *   it fails like a blocked FT_Read when the bridge is closed or unplugged meanwhile. */
void sim_set_wire_timing(int on);

#ifdef __cplusplus
}
#endif

#endif
