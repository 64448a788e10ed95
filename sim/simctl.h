/* Control interface of the stand-in D2XX driver. Tests and hvsrc-host attach simulated bridges,
 * give each a peer (a scripted exchange or a model of a source), inject faults and read back
 * what the host did to each bridge. All functions are thread-safe.
 *
 * Bridges are named by the id that sim_attach returns (1, 2, ...); ids are never reused until
 * sim_reset. The order of attachment is the order in which FT_ListDevices reports the bridges. */
#ifndef HVSRC_SIMCTL_H
#define HVSRC_SIMCTL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Detaches every bridge, drops every peer, fault and counter, switches wire timing off. */
void sim_reset(void);

/* Attaches a bridge; returns its id (> 0). A bridge detached while open behaves as unplugged. */
int sim_attach(const char* description, const char* serial);
int sim_detach(int bridge);
int sim_bridge_count(void);

/* --- Peers ------------------------------------------------------------------------------
 * A peer is the device behind the bridge. on_write receives every byte block the host writes
 * (called without any simulator lock held, from the writing thread); the peer answers with
 * sim_deliver. destroy, when not null, is called when the peer is replaced or the bridge is
 * detached or reset. */
typedef struct SimPeer {
    void (*on_write)(void* context, int bridge, const uint8_t* data, size_t length);
    void (*on_open)(void* context, int bridge);  /* optional: called after a successful open */
    void (*destroy)(void* context);
    void* context;
} SimPeer;
int sim_set_peer(int bridge, const SimPeer* peer);

/* Queues bytes for the host to read, available delay_ms after now (after the previous delivery
 * when that is later, so deliveries keep their order). */
int sim_deliver(int bridge, const void* data, size_t length, unsigned delay_ms);

/* Scripted peer: replaces the bridge's peer with a queue of expected writes. Each expectation
 * waits until the host has written `expect` (accumulated across writes); then `reply` is
 * delivered in pieces of `chunk` bytes (0: all at once), the first after delay_ms and each
 * further piece chunk_delay_ms later. An expectation with expect_length 0 replies at once when
 * it is added (or after the previous one is satisfied). Writes that do not match the head
 * expectation are recorded as mismatches. */
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
/* The next call of "FT_Read", "FT_Write" or "FT_GetQueueStatus" on this bridge does its work
 * but reports `count` as its byte count (a driver that lies about counts). */
int sim_fake_count_next(int bridge, const char* function, uint32_t count);
/* Unplugged while open: FT_Read, FT_Write and FT_GetQueueStatus fail with 4 (FT_IO_ERROR);
 * plugging back in (0) restores the bridge. */
int sim_unplug(int bridge, int unplugged);
/* Stalled: FT_Write accepts 0 bytes and returns FT_OK. */
int sim_stall(int bridge, int stalled);
/* Flooding: input that never stops; the queue always holds `byte` repeated. */
int sim_flood(int bridge, int on, uint8_t byte);
/* Description reported by FT_ListDevices without its terminating zero (64 bytes, no NUL). */
int sim_unterminated_description(int bridge, int on);

/* --- Read-back ----------------------------------------------------------------------------- */
/* Copies up to `capacity` of the bytes written so far; returns the total count written. */
size_t sim_written(int bridge, void* buffer, size_t capacity);
void sim_clear_written(int bridge);
/* Bytes still waiting for the host (delivered, whether or not their time has come). */
size_t sim_pending_input(int bridge);

typedef struct SimSettings {
    int open;                /* 1 while open */
    int unplugged;
    uint32_t baud_rate;      /* 0 until FT_SetBaudRate */
    uint8_t word_length, stop_bits, parity;
    uint8_t latency_ms;
    uint32_t read_timeout_ms, write_timeout_ms;
    uint32_t usb_in_size, usb_out_size;
    uint16_t flow_control;
    uint8_t xon, xoff;
    uint8_t bit_mask, bit_mode;
    uint32_t purge_count;    /* FT_Purge calls */
    uint32_t last_purge_mask;
    uint32_t open_count;     /* successful opens */
} SimSettings;
int sim_settings(int bridge, SimSettings* out);

/* Calls of the named D2XX function, on one bridge (bridge 0: all calls, listing included). */
unsigned sim_call_count(int bridge, const char* function);

/* Wire timing: each byte takes 10 bit times at the bridge's baud rate, and received bytes are
 * handed over at the latency timer. Off by default. */
void sim_set_wire_timing(int on);

#ifdef __cplusplus
}
#endif

#endif
