// The bias module's device operations: start-up queries, voltage setting with its range check,
// the readings and the polarity. Every exchange goes through query (BiasSrcProtocol.cpp).
#include "BiasSrcDev.h"

#include <cmath>

#include "TextUtil.h"

namespace HwHvSrc {

namespace {

constexpr uint32_t kBiasBaudRate = 115200;
// The module reports voltages and currents in tenths.
constexpr double kTenths = 10.0;
// Largest magnitude in tenths of a volt that still fits the command's 32-bit argument.
constexpr double kMaxTenths = 2147483647.0;

}  // namespace

BiasSrcDev::BiasSrcDev(const std::string& description, jd::IFramework* framework,
                       const std::string& logDirectory)
    : DevBase(description, framework, logDirectory, "BiasMod", "hvsrc_biasmod_",
              DevBase::suffixOf(description), kBiasBaudRate, kTenths, kTenths) {}

BiasSrcDev::~BiasSrcDev() = default;

void BiasSrcDev::queryDevice() {
    // The module needs the bridge's bit mode; a bridge that refuses it still gets its queries.
    channel_->setBitMode(true);
    firmware_ = readFirmware();
    readLimits();
}

void BiasSrcDev::readLimits() {
    const std::vector<std::string> fields = query("getMinMaxV()");
    if (fields.size() != 3 || !statusOk(fields[2])) {
        return;
    }
    // Tenths to whole volts, truncating toward zero.
    lowerLimit_ = signedTenths(fields[0]) / 10;
    upperLimit_ = signedTenths(fields[1]) / 10;
}

void BiasSrcDev::registerParameters() {
    if (params_ != nullptr) {
        params_->addString("Firmware", "Firmware", firmware_.c_str(), nullptr, nullptr, 1);
    }
}

std::string BiasSrcDev::readFirmware() {
    const std::vector<std::string> fields = query("printFW()");
    if (fields.size() != 2 || !statusOk(fields[1])) {
        return std::string();
    }
    return fields[0];
}

int BiasSrcDev::setVoltage(uint32_t /*index*/, double volts) {
    // getVoltage reports the request even when it is refused.
    setVoltage_ = volts;
    return applyVoltage(volts);
}

int BiasSrcDev::applyVoltage(double volts) {
    ThreadSyncGuard guard(&deviceLock_);
    int32_t whole = 0;
    const bool representable = DevBase::wholeVolts(volts, whole);
    // Written so that a NaN, which passes every ordered comparison, is refused as well.
    const bool inRange = volts >= static_cast<double>(lowerLimit_.load()) &&
                         volts <= static_cast<double>(upperLimit_.load());
    const double tenths = std::fabs(volts * 10.0);
    if (!representable || !inRange || !(tenths <= kMaxTenths)) {
        return reportError(ERR_OUT_OF_RANGE, "Voltage out of range %d", whole);
    }
    setVoltage_ = volts;
    // The module takes the magnitude in tenths of a volt; the sign is the module's polarity.
    std::vector<std::string> fields;
    std::string why;
    const int rc =
        exchange(formatString("setU(%d)", static_cast<int32_t>(tenths)), 2, true, fields, why);
    return rc == 0 ? 0 : recordFailure(rc, "Setting the output", why);
}

int BiasSrcDev::exchange(const std::string& command, size_t count, bool status,
                         std::vector<std::string>& fields, std::string& why) {
    ThreadSyncGuard guard(&deviceLock_);
    const std::vector<std::string> lines = sendCommand(command);
    fields = replyFields(lines);
    if (lines.empty()) {
        why = exchangeFailure_;
        return -1;
    }
    if (fields.size() != count) {
        why = formatString("Answer to %s has %u field%s, not %u", command.c_str(),
                           static_cast<unsigned>(fields.size()), fields.size() == 1 ? "" : "s",
                           static_cast<unsigned>(count));
        return -1;
    }
    if (status && !statusOk(fields.back())) {
        why = formatString("Answer to %s has the failed status %s", command.c_str(),
                           fields.back().c_str());
        return -2;
    }
    return 0;
}

double BiasSrcDev::getVoltage(uint32_t /*index*/) {
    return setVoltage_.load();
}

int BiasSrcDev::readMeasurement(uint32_t /*index*/, int32_t& volts, int32_t& current) {
    volts = 0;
    current = 0;
    std::vector<std::string> fields;
    std::string why;
    const int rc = exchange("getUI(1)", 3, true, fields, why);
    if (rc != 0) {
        return recordFailure(rc, "Reading the output", why);
    }
    volts = signedTenths(fields[0]);
    current = signedTenths(fields[1]);
    return 0;
}

double BiasSrcDev::minVoltage(int32_t /*index*/) {
    return static_cast<double>(lowerLimit_.load());
}

double BiasSrcDev::maxVoltage(int32_t /*index*/) {
    return static_cast<double>(upperLimit_.load());
}

int BiasSrcDev::polarity() {
    std::vector<std::string> fields;
    std::string why;
    // The status of this answer is not examined.
    if (exchange("printPolarity()", 2, false, fields, why) != 0) {
        recordFailure(-1, "Reading the polarity", why);
        return -1;
    }
    if (fields[0] == "NEG") {
        return 0;
    }
    if (fields[0] == "POS") {
        return 1;
    }
    recordFailure(-1, "Reading the polarity",
                  formatString("Answer %s is neither NEG nor POS", fields[0].c_str()));
    return -1;
}

}  // namespace HwHvSrc
