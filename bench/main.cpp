// hvsrc-bench: the plug-in, loaded by path over the stand-in driver as hvsrc-host --simulate runs
// it, timed against bare exchanges of the same bytes on instant and timed lines, with many
// sources at once and over many exchanges. Prints one table and writes the figures as CSV; each
// goal is reported as PASS or with its gap, and the exit status is 0 either way (1: bad command
// line, 3: the plug-in, the driver or the simulated sources could not be set up).
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Report.h"
#include "Rig.h"
#include "Sections.h"
#include "platform.h"

namespace {

const char kUsage[] =
    "usage: hvsrc-bench [--quick] [--only PART] [--lib PATH] [--driver PATH] [--log-dir DIR]\n"
    "                   [--csv FILE]\n"
    "  --quick        a few repetitions of everything (a check that the benchmark runs)\n"
    "  --only PART    one part: operations (instant and timed lines), memory or many\n"
    "  --lib PATH     the plug-in (default: the one beside the program)\n"
    "  --driver PATH  the stand-in D2XX driver (default: sim/ beside the program)\n"
    "  --log-dir DIR  the library's and the devices' logs (default: hvsrc-bench-logs)\n"
    "  --csv FILE     the figures as CSV (default: hvsrc-bench.csv in the log directory)\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string here = plat::executableDirectory();
    std::string plugin = plat::joinPath(here, plat::sharedLibraryFileName("hvsrc"));
    std::string driver = plat::joinPath(plat::joinPath(here, "sim"), plat::d2xxLibraryName());
    std::string logDir = "hvsrc-bench-logs";
    std::string csv;
    std::string only;
    bench::Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick") {
            settings.wireSeconds = 0.02;
            settings.instantSeconds = 0.01;
            settings.manySeconds = 0.1;
            settings.minReps = 3;
            settings.memoryExchanges = 300;
            settings.counts = {1, 2};
            settings.mixedCounts = {3};
        } else if (arg == "--only" && hasValue &&
                   (std::string(argv[i + 1]) == "operations" ||
                    std::string(argv[i + 1]) == "memory" || std::string(argv[i + 1]) == "many")) {
            only = argv[++i];
        } else if (arg == "--lib" && hasValue) {
            plugin = argv[++i];
        } else if (arg == "--driver" && hasValue) {
            driver = argv[++i];
        } else if (arg == "--log-dir" && hasValue) {
            logDir = argv[++i];
        } else if (arg == "--csv" && hasValue) {
            csv = argv[++i];
        } else {
            std::cerr << "hvsrc-bench: unknown or incomplete argument '" << arg << "'\n" << kUsage;
            return 1;
        }
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::u8path(logDir), ignored);
    if (csv.empty()) {
        csv = plat::joinPath(logDir, "hvsrc-bench.csv");
    }

    bench::Rig rig;
    std::string error;
    if (!rig.load(plugin, driver, logDir, error)) {
        std::cerr << "hvsrc-bench: " << error << "\n";
        return 3;
    }
    std::cout << "hvsrc-bench: the plug-in " << plugin << "\n  over the stand-in driver " << driver
              << (settings.counts.size() < 4 ? "\n  quick run: a few repetitions only\n" : "\n")
              << std::flush;

    bench::Report report(std::cout);
    std::vector<bench::InstantRow> instant;
    std::vector<bench::WireRow> wire;
    std::vector<bench::ManyRow> many;
    bench::MemoryResult memory;
    const auto part = [&](const char* name) { return only.empty() || only == name; };
    bool ok = true;
    if (part("operations")) {
        ok = bench::measureInstant(rig, settings, instant, error);
        if (ok) {
            report.instant(instant);
            std::cout << std::flush;
            ok = bench::measureWire(rig, settings, instant, wire, error);
        }
        if (ok) {
            report.wire(wire);
            std::cout << std::flush;
        }
    }
    if (ok && part("memory")) {
        ok = bench::measureMemory(rig, settings, memory, error);
        if (ok) {
            report.memory(memory);
            std::cout << std::flush;
        }
    }
    if (ok && part("many")) {
        ok = bench::measureMany(rig, settings, many, error);
        if (ok) {
            report.many(many);
        }
    }
    rig.stop();
    if (!ok) {
        std::cerr << "hvsrc-bench: " << error << "\n";
        return 3;
    }
    report.goals();
    if (report.writeCsv(csv)) {
        std::cout << "\nfigures written to " << csv << "\n";
    } else {
        std::cerr << "hvsrc-bench: cannot write " << csv << "\n";
    }
    return 0;
}
