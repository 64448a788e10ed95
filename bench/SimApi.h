// The stand-in D2XX driver's functions that the benchmark calls itself, bound by name from the
// driver hvsrc-host --simulate loads: its control interface, the source models' read-back and the
// D2XX calls of the bare exchanges. Only the declarations' types are used; nothing is linked.
#pragma once

#include <string>

#include "ftd2xx_api.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace bench {

#define BENCH_SIM_FUNCTIONS(X)   \
    X(sim_reset)                 \
    X(sim_set_wire_timing)       \
    X(sim_written)               \
    X(sim_clear_written)         \
    X(sim_hvsrc_attach)          \
    X(sim_hvsrc_clear_frames)    \
    X(sim_bias_attach)           \
    X(sim_bias_clear_commands)   \
    X(sim_hvold_attach)          \
    X(sim_hvold_clear_commands)  \
    X(FT_OpenEx)                 \
    X(FT_Close)                  \
    X(FT_Read)                   \
    X(FT_Write)                  \
    X(FT_GetQueueStatus)         \
    X(FT_SetTimeouts)            \
    X(FT_SetLatencyTimer)        \
    X(FT_SetBaudRate)            \
    X(FT_SetDataCharacteristics) \
    X(FT_SetBitMode)

struct SimApi {
#define BENCH_SIM_POINTER(name) decltype(&::name) name = nullptr;
    BENCH_SIM_FUNCTIONS(BENCH_SIM_POINTER)
#undef BENCH_SIM_POINTER

    // Loads the driver by path (the module hvsrc-host's simulator loaded is the one found) and
    // binds every function; false with the reason in `error`.
    bool bind(const std::string& path, std::string& error);
    ~SimApi();

    void* module = nullptr;
};

}  // namespace bench
