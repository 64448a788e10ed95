// The legacy HV source model: two sources with fixed limits (source 0 from 0 V to 1000 V, source
// 1 from -1000 V to 0 V) behind an FTDI bridge at 9600 baud, driven by short ASCII texts. It
// reports voltages only and has no firmware query.
#pragma once

#include <cstdint>
#include <string>

#include "DevBase.h"

namespace HwHvSrc {

class HvDevOld : public DevBase {
public:
    static constexpr uint32_t kBaudRate = 9600;
    // The status request: written within 2 s, then a pause of 50 ms for the source to answer,
    // then the line read within 2 s. A set text is written within 1 s.
    static constexpr double kStatusWriteTimeout = 2.0;
    static constexpr unsigned kStatusPauseMs = 50;
    static constexpr double kStatusReadTimeout = 2.0;
    static constexpr double kSetWriteTimeout = 1.0;
    // The source reports no current; readCurrent divides its 0 by this, as for the current model.
    static constexpr double kCurrentCounts = 1000.0;

    HvDevOld(std::string description, jd::IFramework* framework, std::string logDirectory);
    ~HvDevOld() override = default;

    int64_t sourceCount() override { return 2; }
    double minVoltage(int32_t index) override { return index == 0 ? lower_[0] : lower_[1]; }
    double maxVoltage(int32_t index) override { return index == 0 ? upper_[0] : upper_[1]; }

    // Status request and line read as one unit, after the input is cleared; always 0. Missing,
    // short or non-hexadecimal status lines give 0 V and are recorded as "Reading source N
    // failed".
    int readMeasurement(uint32_t index, int32_t& volts, int32_t& current) override;
    // Range check (index 0: source 0, any other: source 1), then the set text: 0, -1 when the
    // device is not open, or the failed write's status (recorded as "Setting source N failed").
    int sendVoltage(uint32_t index, int32_t volts) override;

    // The protocol's pieces, exposed for the tests.
    // Parses a status line of ten hexadecimal fields, as scanf's "%x\t%x..." reads it: white space
    // before each field, an optional sign and 0x prefix, then hex digits. False unless all ten
    // are there, and for a field above 0xFFFFFFFF.
    static bool parseStatusLine(const std::string& line, int32_t fields[10]);
    // The voltage a status field reads as for source 0 or for the other source.
    static int32_t fieldVolts(uint32_t index, int32_t field);
    // "%da" with volts x 4 for index 0, "%db" with -volts x 4 otherwise.
    static std::string setText(uint32_t index, int32_t volts);

protected:
    void queryDevice() override {}
    void registerParameters() override;

private:
    // A "Sent" or "Received" entry at DBG in the device log, followed by the text.
    void logExchange(const char* label, const std::string& text);
    // A text that did not go out: "Cannot send command: <text> (<channel's text>)" at ERR in the
    // device log, and recorded as the operation's failure; returns the code.
    int sendFailed(int code, const std::string& operation, const std::string& text);

    const int32_t lower_[2] = {0, -1000};
    const int32_t upper_[2] = {1000, 0};
};

}  // namespace HwHvSrc
