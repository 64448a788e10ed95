/* Simulated HV source (the current, binary-framed model) for the stand-in D2XX driver. The model
 * sits behind a bridge as its peer. It parses the host's request frames
 *
 *   0x55, code, payload      (payload lengths: Test 0, FwInfo 0, SourcesCount 0, GetRanges 1,
 *                             SetVoltage 3, ReadVoltCurr 1)
 *
 * and answers each with   code, payload, status, 0x0A   through sim_deliver:
 *
 *   Test (01)          -> no payload
 *   FwInfo (02)        -> the 30 firmware bytes as set (zero-padded)
 *   SourcesCount (03)  -> 1 byte: the source count
 *   GetRanges (04) i   -> first limit, second limit (signed 16-bit big-endian, in the order they
 *                         were set), then the 32-bit word 0x000F4240 (the model's current limit
 *                         in counts; the library does not use it)
 *   SetVoltage (05) i hi lo -> no payload; the set voltage of source i becomes the signed 16-bit
 *                         value hi:lo (no range check: the model takes what it is given)
 *   ReadVoltCurr (06) i -> the output in whole volts (truncated toward zero, signed 16-bit
 *                         big-endian, clamped to the 16-bit range) and the current count (32-bit
 *                         big-endian)
 *
 * The status is 0, or 2 when the index byte names a source at or above the source count (the
 * payload is then all zero). The model keeps 256 sources (every index byte), with a source count
 * of 2 by default.
 *
 * Units: voltages in whole volts. The current count is in nanoamperes, so the library's
 * readCurrent (count / 1000) reads microamperes: count = output volts * 1000 / load in megaohms,
 * truncated toward zero and clamped to 32 bits; a load of 0 or less draws no current. The output
 * follows the set voltage at once (ramp 0) or at the ramp rate in volts per second. A source may
 * also carry a silicon sensor (sim_hvsrc_set_sensor), whose current adds to the load's: the
 * leakage at full depletion, growing as the square root of the bias below the depletion voltage
 * and exponentially (a factor e every 2 V) above the breakdown voltage, with the sign of the
 * output. Relative Gaussian noise (sim_hvsrc_set_noise; 0 by default, seeded by the bridge id)
 * scales the summed current before it is truncated to whole nanoamperes. A reading
 * set with sim_hvsrc_set_reading replaces output and current of that source in the answers until
 * sim_hvsrc_clear_reading.
 *
 * Defaults of a fresh model: firmware "HVS-2.1.0", count 2, every source's limits -2000 and 2000,
 * set voltage and output 0, ramp 0, load 0, answer delay 0 ms, no faults.
 *
 * Frame report: every frame received is recorded in order (at most 65536 records, later frames
 * are parsed and answered but not recorded). A frame is flagged
 * - malformed: a run of bytes where a sync byte was due (recorded as one frame with code 0 and
 *   those bytes as its payload), or an unknown code (0, or 7 and above; not answered);
 * - interleaved: its bytes came from writes of more than one thread;
 * - overlapped: it began while bytes of earlier answers were still waiting for the host.
 * Opening the bridge drops a frame still incomplete from an earlier session.
 *
 * All functions are thread-safe; those returning int give 0 (or a count) on success and -1 when
 * the bridge has no HV source model or an argument is bad. The model goes away with its peer
 * (sim_reset, sim_detach, sim_set_peer, another install). */
#ifndef HVSRC_SIM_HVSRC_H
#define HVSRC_SIM_HVSRC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Faults, combinable as bits. Each shapes the next answer (one-shot) or every answer
 * (persistent) until cleared; one-shot faults are used up by the next frame answered. The
 * frame always takes effect (a SetVoltage sets the voltage); only the answer changes. */
enum SimHvFault {
    SIM_HV_NO_ANSWER = 1 << 0,     /* nothing is answered */
    SIM_HV_WRONG_CODE = 1 << 1,    /* the response code is the fault code (default 0x09) */
    SIM_HV_BAD_STATUS = 1 << 2,    /* the status byte is the fault status (default 7) */
    SIM_HV_SHORT_PAYLOAD = 1 << 3, /* only the first `keep` payload bytes (default 3), nothing
                                      after them */
    SIM_HV_NO_TRAILER = 1 << 4,    /* code and payload only, no status and line feed */
    SIM_HV_BAD_TRAILER = 1 << 5,   /* 0x0D instead of the closing 0x0A */
    SIM_HV_STRAY_BEFORE = 1 << 6   /* the stray bytes (default AA BB CC) precede the answer */
};

/* Installs a fresh model as the bridge's peer. */
int sim_hvsrc_install(int bridge);
/* sim_attach and sim_hvsrc_install in one; the bridge id, or -1. */
int sim_hvsrc_attach(const char* description, const char* serial);

/* Raw firmware bytes: the first 30 of them, the rest of the 30 zero (null with length 0: all
 * zero). */
int sim_hvsrc_set_firmware(int bridge, const void* bytes, size_t length);
int sim_hvsrc_set_count(int bridge, uint8_t count);
/* The two limits GetRanges reports for the source (0..255), in this order. */
int sim_hvsrc_set_range(int bridge, int source, int16_t first, int16_t second);
/* Volts per second toward the set voltage; 0: at once. Applies to every source. */
int sim_hvsrc_set_ramp(int bridge, double volts_per_second);
int sim_hvsrc_set_load(int bridge, int source, double megaohms);
/* The source's sensor: leakage in amperes at full depletion (0: none), depletion voltage (0:
 * depleted at any bias) and breakdown voltage (0: none), all 0 or more. */
int sim_hvsrc_set_sensor(int bridge, int source, double leak_amps, double depletion_volts,
                         double breakdown_volts);
/* Relative spread (standard deviation) of the current readings, 0 or more; for every source. */
int sim_hvsrc_set_noise(int bridge, double relative);
/* Output and current count that ReadVoltCurr reports for the source, until cleared. */
int sim_hvsrc_set_reading(int bridge, int source, int16_t volts, int32_t current_count);
int sim_hvsrc_clear_reading(int bridge, int source);
/* Answers are delivered this many milliseconds after their frame. */
int sim_hvsrc_set_delay(int bridge, unsigned delay_ms);

/* The set voltage of the source as the last SetVoltage gave it, and the output now. */
int sim_hvsrc_set_voltage(int bridge, int source, int16_t* volts);
int sim_hvsrc_output(int bridge, int source, double* volts);

/* Adds faults (bits of SimHvFault) for the next answer or, persistent != 0, for every one. */
int sim_hvsrc_fault(int bridge, int faults, int persistent);
/* The values the faults use: the wrong response code, the failed status and the payload bytes
 * kept by a short payload. */
int sim_hvsrc_fault_values(int bridge, uint8_t code, uint8_t status, size_t keep);
/* The stray bytes of SIM_HV_STRAY_BEFORE (at most 64). */
int sim_hvsrc_set_stray(int bridge, const void* data, size_t length);
int sim_hvsrc_clear_faults(int bridge);
/* The next answer is exactly these bytes (the frame still takes effect and one-shot faults are
 * used up, but they do not apply to it). */
int sim_hvsrc_reply_next(int bridge, const void* data, size_t length);

typedef struct SimHvFrame {
    uint8_t code;
    uint8_t length;      /* payload bytes received (for a malformed run: its length, at most
                            255) */
    uint8_t payload[16]; /* the first of them */
    int malformed;
    int interleaved;
    int overlapped;
} SimHvFrame;
int sim_hvsrc_frame_count(int bridge);
/* Copies the index-th frame; -1 for a bad index. */
int sim_hvsrc_frame(int bridge, int index, SimHvFrame* out);
/* Frames flagged malformed, interleaved or overlapped. */
int sim_hvsrc_bad_frame_count(int bridge);
int sim_hvsrc_clear_frames(int bridge);

#ifdef __cplusplus
}
#endif

#endif
