// The bench of the fault matrix: for each kind of source its simulated model's control
// functions, and for one cell a bridge with a healthy source behind it, the device on it, each
// operation run and shown as one line of text, and a trigger that acts once the source has the
// operation's first request.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BiasSrcDev.h"
#include "HostFramework.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "hvdev_support.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace faulttest {

using HwHvSrc::BiasSrcDev;
using HwHvSrc::DevBase;
using HwHvSrc::HvDev;
using HwHvSrc::HvDevOld;

enum Kind { kHv, kOld, kBias, kKinds };
enum Op { kInit, kSet, kReadV, kReadI, kPolarity, kParam, kDeinit, kOps };
const char* const kKindNames[kKinds] = {"hvsrc", "legacy", "bias"};
const char* const kOpNames[kOps] = {"initialize", "setVoltage", "readVoltage", "readCurrent",
                                    "polarity",   "param read", "deinitialize"};

// What setVoltage asks for (the second value after the fault is gone), and the bias module's
// output set before its readings.
const double kSetFirst[kKinds] = {321.0, 250.0, 12.5};
const double kSetSecond[kKinds] = {322.0, 251.0, 13.5};
const double kBiasOutput = 42.5;

struct Outcome {
    double value = 0.0;
    std::string shown;
};

inline std::string format(const char* fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), fmt, value);
    return text;
}

struct Release {
    void operator()(DevBase* dev) const { dev->release(); }
};
using DevPtr = std::unique_ptr<DevBase, Release>;

// The simulated source of each kind, reached through its own control functions.
struct Model {
    const char* description;  // the worker's number follows
    int (*attach)(const char* description, const char* serial);
    int (*setDelay)(int bridge, unsigned ms);
    int (*fault)(int bridge, int faults, int persistent);
    int noAnswer;  // the fault bit of an answer that never comes
    int (*replyNext)(int bridge, const void* data, size_t length);
    int (*clearFaults)(int bridge);
    int (*requests)(int bridge);  // requests received whole
};
const Model kModels[kKinds] = {
    {"Tessaro HV Source: 9", sim_hvsrc_attach, sim_hvsrc_set_delay, sim_hvsrc_fault,
     SIM_HV_NO_ANSWER, sim_hvsrc_reply_next, sim_hvsrc_clear_faults, sim_hvsrc_frame_count},
    {"HV source AVR #", sim_hvold_attach, sim_hvold_set_delay, sim_hvold_fault, SIM_HVOLD_NO_ANSWER,
     sim_hvold_reply_next, sim_hvold_clear_faults, sim_hvold_command_count},
    {"BiasModule: 8", sim_bias_attach, sim_bias_set_delay, sim_bias_fault, SIM_BIAS_NO_ANSWER,
     sim_bias_reply_next, sim_bias_clear_faults, sim_bias_command_count},
};

// One worker's host framework and log directory; its bridges carry its number.
struct Slot {
    int index;
    std::string logDir;
    host::Framework framework;

    explicit Slot(int i)
        : index(i),
          logDir(plat::joinPath(hvtest::logDirectory(), "faults_" + std::to_string(i))),
          framework(logDir) {
        std::filesystem::create_directories(std::filesystem::u8path(logDir));
    }
    std::string description(Kind kind) const {
        return kModels[kind].description + std::to_string(index + 1);
    }
};

// One cell's bridge, source and device.
class Bench {
public:
    Bench(Kind kind, Slot& slot) : kind_(kind), model_(kModels[kind]), slot_(slot) {
        attach();
        const std::string d = slot.description(kind);
        jd::IFramework* fw = &slot.framework;
        dev_.reset(kind == kHv    ? static_cast<DevBase*>(new HvDev(d, fw, slot.logDir))
                   : kind == kOld ? static_cast<DevBase*>(new HvDevOld(d, fw, slot.logDir))
                                  : static_cast<DevBase*>(new BiasSrcDev(d, fw, slot.logDir)));
    }
    ~Bench() {
        dev_.reset();
        sim_detach(bridge);
    }

    // A fresh bridge with a healthy source behind it (after a detach: the same bridge plugged in
    // again, which the driver reports as a new one). Readings are set apart from 0.
    void attach() {
        sim_detach(bridge);
        lastReceived_ = "?";
        bridge = model_.attach(slot_.description(kind_).c_str(), "FM1");
        kind_ == kHv    ? sim_hvsrc_set_reading(bridge, 0, 123, 4567)
        : kind_ == kOld ? sim_hvold_set_output(bridge, 0, 250.0)
                        : sim_bias_set_current(bridge, 15);
    }
    // After a start-up: the bias module's output is set through the device.
    bool prepare() { return kind_ != kBias || dev_->setVoltage(0, kBiasOutput) == 0; }
    const Model& model() const { return model_; }

    // Runs the operation; describe() then shows what it gave.
    Outcome act(Op op, bool second) {
        Outcome out;
        switch (op) {
            case kInit:
                out.value = dev_->initialize();
                break;
            case kSet:
                out.value = dev_->setVoltage(0, second ? kSetSecond[kind_] : kSetFirst[kind_]);
                break;
            case kReadV:
                out.value = dev_->readVoltage(0);
                break;
            case kReadI:
                out.value = dev_->readCurrent(0);
                break;
            case kPolarity:
                out.value = dev_->polarity();
                break;
            case kParam: {
                host::Param* p = nullptr;
                static_cast<host::ParamList*>(dev_->parameters())
                    ->read(kind_ == kBias ? "Firmware" : "VoltageSense1", &p);
                out.value = p != nullptr ? p->intValue() : -1.0;
                out.shown = p == nullptr ? "(none)" : kind_ == kBias ? p->text() : "";
                break;
            }
            default:
                out.value = dev_->deinitialize();
                break;
        }
        return out;
    }
    Outcome describe(Op op, Outcome out) {
        const std::string rc = "rc " + format("%g", out.value);
        if (op == kInit) {
            out.shown = rc + state();
        } else if (op == kSet) {
            out.shown = rc + ", source has " + received();
        } else if (op == kDeinit) {
            out.shown = rc + (isOpen() ? ", open" : ", closed");
        } else if (out.shown.empty()) {
            out.shown = format("%g", out.value);
        }
        return out;
    }
    Outcome run(Op op, bool second) { return describe(op, act(op, second)); }

    // Pulls the bridge out; what its source had received stays known.
    void detach() {
        lastReceived_ = received();
        sim_detach(bridge);
    }

    // The device log's entries (none before the first start-up).
    std::vector<std::string> log() const {
        return dev_->logPath().empty() ? std::vector<std::string>{}
                                       : hvtest::logLines(dev_->logPath());
    }

    int bridge = 0;

private:
    bool isOpen() const {
        SimSettings settings{};
        return sim_settings(bridge, &settings) == 0 && settings.open != 0;
    }
    std::string state() {
        std::string s;
        if (kind_ != kOld) {
            s = ", fw " + dev_->firmware();
        }
        if (kind_ == kHv) {
            s += ", " + format("%g", dev_->sourceCount()) + " sources";
        }
        if (kind_ != kOld) {
            s += ", limits " + format("%g", dev_->minVoltage(0)) + ".." +
                 format("%g", dev_->maxVoltage(0));
        }
        if (kind_ == kHv) {
            s += " " + format("%g", dev_->minVoltage(1)) + ".." + format("%g", dev_->maxVoltage(1));
        }
        return s + (isOpen() ? ", open" : ", closed");
    }
    // The voltage the source last received, as it decoded it.
    std::string received() {
        int16_t hv = 0;
        double old = 0.0;
        int32_t tenths = 0;
        const bool known = kind_ == kHv    ? sim_hvsrc_set_voltage(bridge, 0, &hv) == 0
                           : kind_ == kOld ? sim_hvold_set_voltage(bridge, 0, &old) == 0
                                           : sim_bias_set_voltage(bridge, &tenths) == 0;
        return known ? format("%g", kind_ == kHv    ? hv
                                    : kind_ == kOld ? old
                                                    : tenths / 10.0)
                     : lastReceived_;
    }

    Kind kind_;
    const Model& model_;
    std::string lastReceived_ = "?";
    Slot& slot_;
    DevPtr dev_;
};

// Acts once the source has received one more whole request.
class FirstRequest {
public:
    // Runs in the writing thread, right after the write that completed the request and before
    // the operation goes on to read its answer, so the action always lands mid-exchange.
    FirstRequest(const Model& model, int bridge, std::function<void()> action)
        : model_(model),
          bridge_(bridge),
          base_(model.requests(bridge)),
          action_(std::move(action)) {
        sim_set_write_hook(bridge_, &FirstRequest::onWrite, this);
    }
    ~FirstRequest() { finish(); }
    void finish() { sim_set_write_hook(bridge_, nullptr, nullptr); }
    std::atomic<bool> fired{false};

private:
    static void onWrite(void* context, int) {
        auto* self = static_cast<FirstRequest*>(context);
        if (!self->fired && self->model_.requests(self->bridge_) > self->base_) {
            self->fired = true;
            self->action_();
        }
    }
    const Model& model_;
    int bridge_;
    int base_;
    std::function<void()> action_;
};

}  // namespace faulttest
