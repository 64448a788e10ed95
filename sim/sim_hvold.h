/* Simulated legacy HV source for the stand-in D2XX driver. The model sits behind a bridge as its
 * peer and speaks the source's ASCII protocol:
 *
 *   "o"      -> one status line of ten tab-separated hexadecimal fields and a line feed; field 4
 *              carries source 0 as (volts / 0.125) << 3, field 5 source 1 as
 *              ((volts + 1020) / 0.125) << 3, the low three bits free (noise may be put there)
 *   "<n>a"   -> source 0 set to n / 4 volts, no answer
 *   "<n>b"   -> source 1 set to -n / 4 volts, no answer
 *
 * Bytes may arrive one at a time or in blocks; the model collects digits until the letter. A
 * bridge that is not at 9600 baud is answered nothing (the real source would see garbage). The
 * outputs follow the set voltages at once, or at a ramp rate in volts per second.
 *
 * Faults (each for the next status answer, or persistent until cleared): no answer, a short line
 * (five fields), a line that is not hexadecimal. Every command received is recorded in order
 * ("o", "1000a", ...). All functions are thread-safe; int results are 0 (or a count) on success
 * and -1 when the bridge has no legacy model. The model goes away with its peer. */
#ifndef HVSRC_SIM_HVOLD_H
#define HVSRC_SIM_HVOLD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum SimHvOldFault {
    SIM_HVOLD_NO_ANSWER = 1 << 0,
    SIM_HVOLD_SHORT_LINE = 1 << 1,
    SIM_HVOLD_NOT_HEX = 1 << 2
};

int sim_hvold_install(int bridge);
/* sim_attach and sim_hvold_install in one; the bridge id, or -1. */
int sim_hvold_attach(const char* description, const char* serial);

/* Sets an output directly (and its set voltage). */
int sim_hvold_set_output(int bridge, int source, double volts);
int sim_hvold_output(int bridge, int source, double* volts);
int sim_hvold_set_voltage(int bridge, int source, double* volts);
int sim_hvold_set_ramp(int bridge, double volts_per_second);
/* Value (0..7) put into the low three bits of fields 4 and 5. */
int sim_hvold_set_noise(int bridge, unsigned low_bits);
/* Status answers are delivered this many milliseconds after their request. */
int sim_hvold_set_delay(int bridge, unsigned delay_ms);
/* The next status answer is exactly these bytes (-1 for null bytes with a length). */
int sim_hvold_reply_next(int bridge, const void* data, size_t length);

int sim_hvold_fault(int bridge, int faults, int persistent);
int sim_hvold_clear_faults(int bridge);

int sim_hvold_command_count(int bridge);
/* Copies the index-th command, cut to capacity - 1 and NUL-terminated; its full length or -1. */
int sim_hvold_command(int bridge, int index, char* buffer, size_t capacity);
int sim_hvold_clear_commands(int bridge);

#ifdef __cplusplus
}
#endif

#endif
