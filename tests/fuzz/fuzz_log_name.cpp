// Device log names from arbitrary bridge descriptions, through the devices' own initialize: the
// log always lands in the log directory, under a name that holds no path separator, drive colon
// or control character, and nothing else appears there or beside it.
#include <filesystem>

#include "BiasSrcDev.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // No bridge answers to these descriptions: initialize creates the log and fails to open.
    fuzz::Line line("", in);
    static const std::string dir = fuzz::logDirectory() + "/logs";
    std::filesystem::create_directories(dir);
    const uint8_t kind = in.byte() % 3;
    const std::string description = in.rest();
    HwHvSrc::DevBase* device =
        kind == 0 ? static_cast<HwHvSrc::DevBase*>(new HwHvSrc::HvDev(description, nullptr, dir))
        : kind == 1
            ? static_cast<HwHvSrc::DevBase*>(new HwHvSrc::HvDevOld(description, nullptr, dir))
            : static_cast<HwHvSrc::DevBase*>(new HwHvSrc::BiasSrcDev(description, nullptr, dir));
    device->initialize();
    const std::string path = device->logPath();
    device->release();

    FUZZ_CHECK(path.compare(0, dir.size() + 1, dir + "/") == 0);
    const std::string name = path.substr(dir.size() + 1);
    FUZZ_CHECK(!name.empty() && name != "." && name != "..");
    for (const char c : name) {
        FUZZ_CHECK(c != '/' && c != '\\' && c != ':' && static_cast<unsigned char>(c) >= 0x20);
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        FUZZ_CHECK(entry.path().filename().string() == name);
        std::filesystem::remove(entry.path());
    }
    for (const auto& entry : std::filesystem::directory_iterator(fuzz::logDirectory())) {
        FUZZ_CHECK(entry.path().filename().string() == "logs");
    }
    return 0;
}
