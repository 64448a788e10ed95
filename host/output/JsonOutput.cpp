// Output for scripts: one JSON object a line, written with nlohmann's JSON library.
#include <nlohmann/json.hpp>

#include "output/Json.h"
#include "output/Output.h"

namespace host {

namespace {

using nlohmann::json;

json currentOf(const char* unit, double value) {
    return unit != nullptr ? json(value) : json(nullptr);
}

void emit(std::ostream& out, const json& object) {
    emitJson(out, object);
}

}  // namespace

void emitJson(std::ostream& out, const nlohmann::json& object) {
    out << object.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
}

void printDevicesJson(std::ostream& out, const std::vector<DeviceRow>& rows) {
    json devices = json::array();
    for (const DeviceRow& row : rows) {
        json limits = json::array();
        for (size_t i = 0; i < row.limits.size(); ++i) {
            limits.push_back(row.limitsKept[i] ? json{row.limits[i].first, row.limits[i].second}
                                               : json(nullptr));
        }
        devices.push_back(
            {{"dev", row.index},
             {"address", row.address},
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
        json source = {
            {"src", row.src},
            {"volts", row.ok ? json(row.volts) : json(nullptr)},
            {"current", row.ok ? currentOf(row.currentUnit, row.current) : json(nullptr)},
            {"current_unit", row.currentUnit != nullptr ? json(row.currentUnit) : json(nullptr)},
            {"set_volts", row.set.known ? json(row.set.volts) : json(nullptr)},
            {"set_by", row.set.known ? json(row.set.via) : json(nullptr)}};
        if (!row.ok) {
            source["error"] = row.error;
        }
        sources.push_back(source);
    }
    emit(out, {{"command", "read"},
               {"dev", dev},
               {"address", rows.empty() ? "" : rows.front().address},
               {"time_utc", utcNow()},
               {"sources", sources}});
}

void printMonitorJson(std::ostream& out, const std::vector<MonitorChannel>& channels,
                      const MonitorSample& sample) {
    json sources = json::array();
    for (size_t i = 0; i < channels.size(); ++i) {
        const MonitorChannel& c = channels[i];
        const bool ok = sample.errors[i].empty();
        json source = {
            {"dev", c.dev},
            {"address", c.address},
            {"src", c.src},
            {"kind", c.kind},
            {"volts", ok ? json(sample.volts[i]) : json(nullptr)},
            {"current", ok ? currentOf(c.currentUnit, sample.current[i]) : json(nullptr)},
            {"current_unit", c.currentUnit != nullptr ? json(c.currentUnit) : json(nullptr)}};
        if (!ok) {
            source["error"] = sample.errors[i];
        }
        if (i < sample.marks.size() && !sample.marks[i].empty()) {
            source["alarm"] = sample.marks[i];
        }
        sources.push_back(source);
    }
    emit(out, {{"command", "monitor"},
               {"time_s", sample.time},
               {"time_utc", sample.utc},
               {"sources", sources}});
}

}  // namespace host
