// The three kinds of simulated source as the reliability suites drive them: their control
// functions, and the requests each received, a set's voltage read as the source reads it.
#pragma once

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "hvdev_support.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace simkind {

enum Kind { kHv, kOld, kBias, kKinds };

struct Model {
    int (*attach)(const char* description, const char* serial);
    int (*setDelay)(int bridge, unsigned ms);
    int (*fault)(int bridge, int faults, int persistent);
    int noAnswer;  // the fault bit of an answer that never comes
    int (*replyNext)(int bridge, const void* data, size_t length);
    int (*clearFaults)(int bridge);
    int (*requests)(int bridge);  // requests received whole
};
const Model kModels[kKinds] = {
    {sim_hvsrc_attach, sim_hvsrc_set_delay, sim_hvsrc_fault, SIM_HV_NO_ANSWER, sim_hvsrc_reply_next,
     sim_hvsrc_clear_faults, sim_hvsrc_frame_count},
    {sim_hvold_attach, sim_hvold_set_delay, sim_hvold_fault, SIM_HVOLD_NO_ANSWER,
     sim_hvold_reply_next, sim_hvold_clear_faults, sim_hvold_command_count},
    {sim_bias_attach, sim_bias_set_delay, sim_bias_fault, SIM_BIAS_NO_ANSWER, sim_bias_reply_next,
     sim_bias_clear_faults, sim_bias_command_count},
};

// One request as the source received it: a set names its source (otherwise -1) and voltage; not
// `sound`: a frame malformed, mixed with or overlapping another, or an unknown text.
struct Request {
    std::string text;
    int source = -1;
    double volts = 0.0;
    bool sound = true;
};

// A text request read as the source reads it (a bias module not `positive` negates its sets).
inline Request readText(Kind kind, const std::string& text, bool positive = true) {
    // "<quarter volts>a" sets source 0, "<quarter volts>b" source 1 negative; "setU(<tenths>)".
    static const std::regex oldSet(R"(^(\d{1,6})([ab])$)");
    static const std::regex biasSet(R"(^setU\((\d{1,7})\)$)");
    static const std::regex query(
        R"(^(o|printFW\(\)|getMinMaxV\(\)|getUI\(1\)|printPolarity\(\))$)");
    Request r{text};
    std::smatch m;
    if (std::regex_match(text, m, kind == kOld ? oldSet : biasSet)) {
        r.source = kind == kOld && m[2] == "b" ? 1 : 0;
        const bool negative = kind == kOld ? r.source == 1 : !positive;
        r.volts = (negative ? -1 : 1) * std::stod(m[1]) / (kind == kOld ? 4 : 10);
    } else {
        r.sound = std::regex_match(text, query) && (kind == kBias) != (text == "o");
    }
    return r;
}

// The requests from the `from`th on.
inline std::vector<Request> requestsSince(Kind kind, int bridge, int from, bool positive = true) {
    std::vector<Request> out;
    if (kind == kHv) {
        for (int i = from; i < sim_hvsrc_frame_count(bridge); ++i) {
            SimHvFrame f{};
            sim_hvsrc_frame(bridge, i, &f);
            const bool set = f.code == 0x05 && f.length == 3;
            out.push_back({"frame " + std::to_string(i) + " (code " + std::to_string(f.code) + ")",
                           set ? f.payload[0] : -1,
                           set ? static_cast<int16_t>((f.payload[1] << 8) | f.payload[2]) : 0.0,
                           f.malformed == 0 && f.interleaved == 0 && f.overlapped == 0});
        }
        return out;
    }
    const std::vector<std::string> texts =
        kind == kOld ? hvtest::recordedCommands(bridge, sim_hvold_command_count, sim_hvold_command)
                     : hvtest::recordedCommands(bridge, sim_bias_command_count, sim_bias_command);
    for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i) {
        out.push_back(readText(kind, texts[i], positive));
    }
    return out;
}

// The voltage the source's output was last set to, as it read it; false when it cannot tell.
inline bool lastSet(Kind kind, int bridge, int source, double& volts, bool positive = true) {
    int16_t hv = 0;
    int32_t tenths = 0;
    const bool known = kind == kHv    ? sim_hvsrc_set_voltage(bridge, source, &hv) == 0
                       : kind == kOld ? sim_hvold_set_voltage(bridge, source, &volts) == 0
                                      : sim_bias_set_voltage(bridge, &tenths) == 0;
    if (kind != kOld) {
        volts = kind == kHv ? hv : (positive ? tenths : -tenths) / 10.0;
    }
    return known;
}

}  // namespace simkind
