// What the three source classes share: the two locks, the error idiom, the info record and device
// number, the per-device log, opening the channel by description, closing, destruction, the
// constant answers of the device interface, the readings over the class's measurement, the HV
// sources' voltage setting and the host parameters with their handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "FileLog.h"
#include "FtdiDev.h"
#include "ThreadSync.h"
#include "jd/IHwDev.h"

namespace HwHvSrc {

enum : int {
    // An operation on a device whose channel is closed (after deinitialize).
    ERR_NOT_OPEN = -1,
    ERR_OUT_OF_RANGE = -1005,
    ERR_NOT_SUPPORTED = -1026,
};
// The reason recorded for ERR_NOT_OPEN.
constexpr const char* kNotOpenText = "Device not open";

class DevBase : public jd::IHwDevHvSrc {
public:
    int typeCode() override { return 14; }
    int getInfo(jd::HwDevInfo* info) override;
    // Creates the device log, opens and configures the channel, then queryDevice() and, when the
    // parameter list is still empty, registerParameters(). Holds the device lock throughout.
    int initialize() override;
    int deinitialize() override;
    bool reserved1() override { return true; }
    bool reserved2() override { return false; }
    void setCallback(uint64_t callback, uint64_t context) override;
    int reserved3() override { return 0; }
    jd::IParamList* parameters() override { return params_; }
    jd::IParamList* auxParameters() override { return auxParams_; }
    // Stays valid for the device's life: later messages are written into the same storage.
    const char* lastError() override { return lastError_; }
    void reserved4() override {}
    const char* deviceName() override { return nameText_.c_str(); }
    int reserved5() override { return 0; }
    const char* reserved6() override { return ""; }
    int reserved7() override { return 0; }
    void reserved8() override {}
    int reserved9() override { return ERR_NOT_SUPPORTED; }
    int reserved10() override { return ERR_NOT_SUPPORTED; }
    void release() override { delete this; }
    int reserved11() override { return ERR_NOT_SUPPORTED; }
    jd::IParamList* parametersAlt() override { return params_; }
    int reserved12() override { return 0; }
    void reserved13() override {}
    bool reserved14() override { return false; }
    int reserved15() override { return ERR_NOT_SUPPORTED; }
    int reserved16() override { return 0; }
    int reserved17() override { return 0; }
    int polarity() override { return 0; }
    // The two HV source classes: the request is remembered for getVoltage (sources 0 and 1),
    // cut to whole volts and sent with the class's sendVoltage, under the device lock. The bias
    // module replaces both with its own, since it keeps and sends tenths of a volt.
    int setVoltage(uint32_t index, double volts) override;
    double getVoltage(uint32_t index) override;
    // One readMeasurement each: its raw voltage or current divided by the class's counts per volt
    // or per unit of current. A failed measurement reads 0 and is recorded by the class.
    double readVoltage(uint32_t index) override;
    double readCurrent(uint32_t index) override;

    // One measurement of a source for the readings and the parameter handler: raw voltage and
    // current values (both 0 when it fails; the class records why as the last error).
    virtual int readMeasurement(uint32_t index, int32_t& volts, int32_t& current) = 0;

    // For the tests and the benchmark only; the host never sees these.
    const std::string& description() const { return description_; }
    const std::string& suffix() const { return suffix_; }
    const std::string& firmware() const { return firmware_; }
    // The device log's path as initialize builds it (empty before the first initialize).
    std::string logPath() const;
    // The device log itself (null before the first initialize): lets a measurement compare runs
    // with and without its entries. Inline, so a program built from these headers can reach it on
    // a device the loaded plug-in made.
    FileLog* deviceLog() const { return log_.get(); }
    uint64_t callbackValue() const { return callback_; }
    uint64_t callbackContext() const { return callbackContext_; }

    // The suffix as it may stand in a file name: path separators, characters Windows forbids in
    // names and control characters become '_'. (The prefix always stands before it, so dots
    // cannot make a name of their own.)
    static std::string fileNameSafe(const std::string& text);
    // Whole volts of a requested voltage, truncated toward zero. False when the value is not a
    // number or does not fit 32 bits; `out` is then the value saturated to 32 bits (0 for NaN).
    static bool wholeVolts(double volts, int32_t& out);
    // The suffix of a description: everything after its first ": ", empty when there is none.
    static std::string suffixOf(const std::string& description);

protected:
    // nameText: "HV Source" or "BiasMod"; logPrefix: "hvsrc_", "hvsrcold_" or "hvsrc_biasmod_".
    // voltageCounts and currentCounts: what readMeasurement reports per volt and per unit of the
    // current that readCurrent gives.
    DevBase(std::string description, jd::IFramework* framework, std::string logDirectory,
            const char* nameText, const char* logPrefix, std::string suffix, uint32_t baudRate,
            double voltageCounts, double currentCounts);
    ~DevBase() override;

    // The model's own start-up, under the device lock, after the channel is open at the class's
    // baud rate and its input cleared.
    virtual void queryDevice() = 0;
    // Registers the host parameters (only called when the parameter list is empty).
    virtual void registerParameters() = 0;
    // Drops what the class keeps on top of the channel (the command manager); called under the
    // device lock by deinitialize before the channel is closed. (Not by the destructor: by then
    // the class's own members are gone already.)
    virtual void closeProtocol() {}
    // The HV source classes' voltage-sending routine (range check, then send), for setVoltage and
    // the parameter handler. The bias module has its own setVoltage and no voltage parameter, so
    // it keeps this default, which nothing calls.
    virtual int sendVoltage(uint32_t /*index*/, int32_t /*volts*/) { return ERR_NOT_SUPPORTED; }

    // The twelve parameters of the two HV source classes, in their order.
    void registerHvParameters(int16_t sourceCount, int32_t min1, int32_t min2, int32_t max1,
                              int32_t max2);
    // Handler of the HV source parameters; the context is the device.
    static int parameterHandler(jd::IParam* param, bool isRead, void* context);

    // Records, logs at ERR on the device log and returns the code.
    int reportError(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Records a failed operation as the last error, "<operation> failed (failure N): <reason>",
    // and returns the code. N counts the device's recorded failures, so two failures in a row
    // never leave the same text and a host can tell that its call failed. Nothing is logged: the
    // layer below has written the reason at ERR already, or it is one the log does not show (no
    // answer, a closed device).
    int recordFailure(int code, const std::string& operation, const std::string& reason);

    // Closes and forgets the channel (and first the protocol on top of it), under the lock.
    void closeChannel();

    ThreadSyncObject deviceLock_;
    ThreadSyncObject errorLock_;
    // Never reallocated, so a pointer handed out stays valid while other threads record errors;
    // longer messages are cut (the device log keeps them whole).
    static constexpr size_t kLastErrorSize = 1024;
    char lastError_[kLastErrorSize] = {};
    std::string description_;
    std::string nameText_;
    std::string suffix_;
    std::string firmware_;
    std::string logDirectory_;
    std::string logPrefix_;
    uint32_t baudRate_;
    double voltageCounts_;
    double currentCounts_;
    std::unique_ptr<FileLog> log_;
    std::unique_ptr<FtdiDev> channel_;
    jd::IFramework* framework_;
    jd::HwDevInfo info_;
    jd::IParamList* params_ = nullptr;
    jd::IParamList* auxParams_ = nullptr;
    uint64_t callback_ = 0;
    uint64_t callbackContext_ = 0;

private:
    // Stores the text as the last error; called with the error lock held.
    void storeLastError(const std::string& message);
    // Closes and forgets the channel alone.
    void closeLink();

    // Failures recorded so far; guarded by the error lock.
    uint64_t failures_ = 0;
    // What setVoltage was last asked for, per source; read without the lock by getVoltage.
    static constexpr uint32_t kRequestedSources = 2;
    std::atomic<double> requested_[kRequestedSources] = {{0.0}, {0.0}};
};

}  // namespace HwHvSrc
