/* Simulated bias module for the stand-in D2XX driver. The model sits behind a bridge as its
 * peer: it collects the bytes the host writes into command lines ending in a line feed, records
 * every line, and answers the five commands of the module with "(" fields ")" LF CR:
 *
 *   "printFW()"       -> (firmware;status)
 *   "getMinMaxV()"    -> (lower;upper;status)    limits in tenths of a volt
 *   "setU(n)"         -> (0;status)              n: decimal magnitude in tenths; sets the set
 *                                                voltage, the output follows it
 *   "getUI(1)"        -> (voltage;current;status) the output and the current it drives through
 *                                                the load, in tenths
 *   "printPolarity()" -> (NEG;status) or (POS;status)
 *
 * Numbers go out as four upper-case hex digits of their 16-bit two's complement (values beyond
 * the 16-bit range are clamped first). Any other line, and a setU whose argument is not a plain
 * decimal number that fits 32 bits, is answered (01). The status field is "00" unless set.
 * Commands understood always take effect; faults change only the answer.
 *
 * The output is the set voltage with the polarity's sign (negative for NEG). With a ramp rate of
 * 0 it follows the set voltage at once, otherwise it moves toward it at that many tenths per
 * second. The current is output / load (tenths of a volt per kilo-ohm give tenths of a mA),
 * truncated toward zero; a load of 0 or less draws no current. A silicon sensor
 * (sim_bias_set_sensor, as sim_hvsrc_set_sensor describes it) adds its current to the load's,
 * and relative noise (sim_bias_set_noise) scales the sum before it is truncated to tenths of a
 * mA, the module's own resolution. A current set with
 * sim_bias_set_current overrides the load until sim_bias_set_load is called again.
 *
 * The module understands the bridge only at 115200 baud, 8 data bits, one stop bit, no parity,
 * in bit mode 0x40 with mask 0xFF; otherwise a command line is recorded but neither takes effect
 * nor is answered (the real module would see garbage). Opening the bridge (which resets its
 * settings) drops a command line still incomplete from an earlier session. All functions are
 * thread-safe; those returning int give 0 (or a count) on success and -1 when the bridge has no
 * bias model or an argument is bad. The model goes away with its peer (sim_reset, sim_detach,
 * sim_set_peer, another sim_bias_install). */
#ifndef HVSRC_SIM_BIAS_H
#define HVSRC_SIM_BIAS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Faults, combinable as bits. Each shapes the next answer (one-shot) or every answer
 * (persistent) until cleared; one-shot faults are used up by the next command line answered. */
enum SimBiasFault {
    SIM_BIAS_NO_ANSWER = 1 << 0,     /* the command is taken, nothing is answered */
    SIM_BIAS_DROP_FIELD = 1 << 1,    /* the last field (the status) is left out */
    SIM_BIAS_EXTRA_FIELD = 1 << 2,   /* a further field "00" is appended */
    SIM_BIAS_EMPTY_FIELD = 1 << 3,   /* the field before the status is sent empty: "(01F4;;00)" */
    SIM_BIAS_CR_BEFORE = 1 << 4,     /* a carriage return precedes the answer */
    SIM_BIAS_LF_BEFORE = 1 << 5,     /* a line feed precedes the answer */
    SIM_BIAS_SPACES_BEFORE = 1 << 6, /* three spaces precede the answer */
    SIM_BIAS_TWO_GROUPS = 1 << 7,    /* "(FFFF;FFFF;01)" follows the answer before its ending */
    SIM_BIAS_FAILED_STATUS = 1 << 8, /* the status field is "01" */
    SIM_BIAS_NO_ENDING = 1 << 9,     /* the answer lacks its ")" LF CR ("(a;00" only) */
    SIM_BIAS_LOWER_CASE = 1 << 10    /* the fields in lower case ("neg", "fc18") */
};

/* Installs a fresh model (defaults: firmware "BM-1.04", limits 0 and 900 tenths, polarity POS,
 * set voltage and output 0, ramp 0, load 0, status "00", no faults) as the bridge's peer. */
int sim_bias_install(int bridge);
/* sim_attach and sim_bias_install in one; the bridge id, or -1. */
int sim_bias_attach(const char* description, const char* serial);

int sim_bias_set_firmware(int bridge, const char* text);
int sim_bias_set_limits(int bridge, int32_t lower_tenths, int32_t upper_tenths);
/* 1: POS, 0: NEG. */
int sim_bias_set_polarity(int bridge, int positive);
int sim_bias_set_status(int bridge, const char* status);
/* Tenths of a volt per second toward the set voltage; 0: at once. */
int sim_bias_set_ramp(int bridge, double tenths_per_second);
int sim_bias_set_load(int bridge, double kilo_ohms);
/* The load as a sensor: leakage in amperes at full depletion, depletion and breakdown voltages
 * in volts (each 0: none). */
int sim_bias_set_sensor(int bridge, double leak_amps, double depletion_volts,
                        double breakdown_volts);
/* Relative spread (standard deviation) of the current readings, 0 or more. */
int sim_bias_set_noise(int bridge, double relative);
int sim_bias_set_current(int bridge, int32_t tenths);
/* Answers are delivered this many milliseconds after their command line. */
int sim_bias_set_delay(int bridge, unsigned delay_ms);
/* The next answer is exactly these bytes (all faults are still used up as usual, but do not
 * apply to it). */
int sim_bias_reply_next(int bridge, const void* data, size_t length);

/* Set voltage in tenths (magnitude, as the last setU gave it) and the signed output now. */
int sim_bias_set_voltage(int bridge, int32_t* tenths);
int sim_bias_output(int bridge, double* tenths);

/* Adds faults (bits of SimBiasFault) for the next answer or, persistent != 0, for every one. */
int sim_bias_fault(int bridge, int faults, int persistent);
int sim_bias_clear_faults(int bridge);

/* Command lines received, in order (without their line feed). sim_bias_command copies the
 * index-th line, cut to capacity - 1 bytes and NUL-terminated, and returns its full length;
 * -1 for a bad index. */
int sim_bias_command_count(int bridge);
int sim_bias_command(int bridge, int index, char* buffer, size_t capacity);
int sim_bias_clear_commands(int bridge);

#ifdef __cplusplus
}
#endif

#endif
