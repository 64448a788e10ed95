// Output for scripts: one JSON object a line, written with nlohmann's JSON library.
#include <nlohmann/json.hpp>

#include "output/Output.h"

namespace host {

namespace {

using nlohmann::json;

void emit(std::ostream& out, const json& object) {
    // Texts from devices are not always UTF-8: replace what is not, rather than fail.
    out << object.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
}

json currentOf(const char* unit, double value) {
    return unit != nullptr ? json(value) : json(nullptr);
}

}  // namespace

void printDevicesJson(std::ostream& out, const std::vector<DeviceRow>& rows) {
    json devices = json::array();
    for (const DeviceRow& row : rows) {
        json limits = json::array();
        for (const auto& limit : row.limits) {
            limits.push_back({limit.first, limit.second});
        }
        devices.push_back(
            {{"dev", row.index},
             {"name", row.name},
             {"kind", row.kind},
             {"number", row.number},
             {"firmware", row.firmware},
             {"sources", row.sources},
             {"limits_v", limits},
             {"polarity", row.polarityWord.empty() ? json(nullptr) : json(row.polarityWord)}});
    }
    emit(out, {{"command", "list"}, {"devices", devices}});
}

void printParamsJson(std::ostream& out, size_t dev, const std::vector<ParamRow>& rows) {
    json params = json::array();
    for (const ParamRow& row : rows) {
        params.push_back({{"name", row.name},
                          {"type", row.type},
                          {"value", row.numeric ? json(row.number) : json(row.text)},
                          {"writable", !row.readOnly},
                          {"meaning", row.meaning}});
    }
    emit(out, {{"command", "params"}, {"dev", dev}, {"params", params}});
}

void printReadingsJson(std::ostream& out, size_t dev, const std::vector<ReadingRow>& rows) {
    json sources = json::array();
    for (const ReadingRow& row : rows) {
        sources.push_back(
            {{"src", row.src},
             {"volts", row.volts},
             {"current", currentOf(row.currentUnit, row.current)},
             {"current_unit", row.currentUnit != nullptr ? json(row.currentUnit) : json(nullptr)},
             {"set_volts", row.set.known ? json(row.set.volts) : json(nullptr)},
             {"set_by", row.set.known ? json(row.set.via) : json(nullptr)}});
    }
    emit(out, {{"command", "read"}, {"dev", dev}, {"sources", sources}});
}

void printMonitorJson(std::ostream& out, const std::vector<MonitorChannel>& channels,
                      const MonitorSample& sample) {
    json sources = json::array();
    for (size_t i = 0; i < channels.size(); ++i) {
        const MonitorChannel& c = channels[i];
        sources.push_back(
            {{"dev", c.dev},
             {"src", c.src},
             {"kind", c.kind},
             {"volts", sample.volts[i]},
             {"current", currentOf(c.currentUnit, sample.current[i])},
             {"current_unit", c.currentUnit != nullptr ? json(c.currentUnit) : json(nullptr)}});
    }
    emit(out, {{"command", "monitor"}, {"time_s", sample.time}, {"sources", sources}});
}

}  // namespace host
