// The host and the plug-in call each other by vtable position: every operation's slot and exact
// signature is pinned against a literal table. Under the Itanium C++ ABI (g++, MinGW-w64) a pointer
// to a virtual member function holds 1 + the byte offset of its entry; a destructor's place shows
// in a class adding one virtual function after it. msvc_host (tests/msvc_host) calls the same
// operations from a host built in Microsoft's ABI.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "jd/HostInterfaces.h"
#include "jd/IHwDev.h"
#include "jd/IHwLib.h"

namespace {

struct Slot {
    const char* name;
    long actual;
    long expected;
};

template <typename Pmf>
long slotOf(Pmf pmf) {
    static_assert(sizeof(Pmf) == 2 * sizeof(void*), "Itanium member-function pointer");
    uintptr_t words[2];
    std::memcpy(words, &pmf, sizeof(words));
    if ((words[0] & 1u) == 0) {
        return -1;  // not virtual
    }
    return static_cast<long>((words[0] - 1) / sizeof(void*));
}

// One table entry: interface, operation, its result and argument types, its expected slot.
// clang-format off
#define SLOT(C, op, R, ARGS, n) Slot{#op, slotOf<R(C::*) ARGS>(&C::op), n}
// clang-format on

void expectSlots(const std::vector<Slot>& table) {
    for (const Slot& slot : table)
        EXPECT_EQ(slot.actual, slot.expected) << slot.name;
}

// Classes that append one virtual function after everything an interface declares.
// clang-format off
struct AfterHwLib : jd::IHwLib { virtual void appended() {} };
struct AfterHwDev : jd::IHwDev { virtual void appended() {} };
struct AfterHvSrc : jd::IHwDevHvSrc { virtual void appended() {} };
struct AfterParam : jd::IParam { virtual void appended() {} };
struct AfterParamList : jd::IParamList { virtual void appended() {} };
struct AfterFramework : jd::IFramework { virtual void appended() {} };
struct AfterDevList : jd::IHwDevList { virtual void appended() {} };
// clang-format on

using namespace jd;

// The handler's shape and the info record's layout cross the boundary as well.
static_assert(std::is_same<ParamHandler, int (*)(IParam*, bool, void*)>::value, "handler");
static_assert(offsetof(HwDevInfo, category) == sizeof(void*), "category");
static_assert(offsetof(HwDevInfo, connection) == sizeof(void*) + 4, "connection");
static_assert(offsetof(HwDevInfo, number) == sizeof(void*) + 8, "number");
static_assert(offsetof(HwDevInfo, reserved) == sizeof(void*) + 12, "reserved");
static_assert(sizeof(HwDevInfo) == sizeof(void*) + 16, "size");

TEST(Vtable, LibraryInterface) {
    expectSlots({
        SLOT(IHwLib, initialize, int, (IFramework*), 0),
        SLOT(IHwLib, deinitialize, int, (), 1),
        SLOT(IHwLib, registerDevices, int, (IHwDevList*), 2),
        SLOT(IHwLib, reserved1, int, (), 3),
        SLOT(IHwLib, setCallback, void, (uint64_t, uint64_t), 4),
        SLOT(IHwLib, reserved2, uint64_t, (), 5),
    });
    // The destructor (two entries) comes right after reserved2.
    EXPECT_EQ(slotOf(&AfterHwLib::appended), 8);
}

TEST(Vtable, DeviceInterface) {
    expectSlots({
        SLOT(IHwDev, typeCode, int, (), 0),
        SLOT(IHwDev, getInfo, int, (HwDevInfo*), 1),
        SLOT(IHwDev, initialize, int, (), 2),
        SLOT(IHwDev, deinitialize, int, (), 3),
        SLOT(IHwDev, reserved1, bool, (), 4),
        SLOT(IHwDev, reserved2, bool, (), 5),
        SLOT(IHwDev, setCallback, void, (uint64_t, uint64_t), 6),
        SLOT(IHwDev, reserved3, int, (), 7),
        SLOT(IHwDev, parameters, IParamList*, (), 8),
        SLOT(IHwDev, auxParameters, IParamList*, (), 9),
        SLOT(IHwDev, lastError, const char*, (), 10),
        SLOT(IHwDev, reserved4, void, (), 11),
        SLOT(IHwDev, deviceName, const char*, (), 12),
        SLOT(IHwDev, reserved5, int, (), 13),
        SLOT(IHwDev, reserved6, const char*, (), 14),
        SLOT(IHwDev, reserved7, int, (), 15),
        SLOT(IHwDev, reserved8, void, (), 16),
        SLOT(IHwDev, reserved9, int, (), 17),
        SLOT(IHwDev, reserved10, int, (), 18),
        SLOT(IHwDev, release, void, (), 19),
        SLOT(IHwDev, reserved11, int, (), 20),
        SLOT(IHwDev, parametersAlt, IParamList*, (), 21),
        SLOT(IHwDev, reserved12, int, (), 22),
        SLOT(IHwDev, reserved13, void, (), 23),
        SLOT(IHwDevHvSrc, setVoltage, int, (uint32_t, double), 24),
        SLOT(IHwDevHvSrc, getVoltage, double, (uint32_t), 25),
        SLOT(IHwDevHvSrc, sourceCount, int64_t, (), 26),
        SLOT(IHwDevHvSrc, readVoltage, double, (uint32_t), 27),
        SLOT(IHwDevHvSrc, readCurrent, double, (uint32_t), 28),
        SLOT(IHwDevHvSrc, minVoltage, double, (int32_t), 29),
        SLOT(IHwDevHvSrc, maxVoltage, double, (int32_t), 30),
        SLOT(IHwDevHvSrc, reserved14, bool, (), 31),
        SLOT(IHwDevHvSrc, reserved15, int, (), 32),
        SLOT(IHwDevHvSrc, reserved16, int, (), 33),
        SLOT(IHwDevHvSrc, reserved17, int, (), 34),
        SLOT(IHwDevHvSrc, polarity, int, (), 35),
    });
    // The generic part ends with reserved13 and has no destructor of its own; the high-voltage
    // part ends with polarity, then the destructor's two entries.
    EXPECT_EQ(slotOf(&AfterHwDev::appended), 24);
    EXPECT_EQ(slotOf(&AfterHvSrc::appended), 38);
}

TEST(Vtable, HostInterfaces) {
    expectSlots({
        SLOT(IParam, name, const char*, (), 0),
        SLOT(IParam, getInt16, int16_t, (), 1),
        SLOT(IParam, setInt32, void, (int32_t), 2),
        SLOT(IParamList, addInt16, int,
             (const char*, const char*, int16_t, ParamHandler, void*, int), 0),
        SLOT(IParamList, addInt32, int,
             (const char*, const char*, int32_t, ParamHandler, void*, int), 1),
        SLOT(IParamList, addString, int,
             (const char*, const char*, const char*, ParamHandler, void*, int), 2),
        SLOT(IParamList, count, int, (), 3),
        SLOT(IParamList, release, void, (), 4),
        SLOT(IFramework, createParamList, IParamList*, (), 0),
        SLOT(IFramework, logDirectory, const char*, (), 1),
        SLOT(IHwDevList, addDevice, int, (IHwDev*), 0),
    });
    // None of them has a virtual destructor or anything else beyond these operations.
    EXPECT_EQ(slotOf(&AfterParam::appended), 3);
    EXPECT_EQ(slotOf(&AfterParamList::appended), 5);
    EXPECT_EQ(slotOf(&AfterFramework::appended), 2);
    EXPECT_EQ(slotOf(&AfterDevList::appended), 1);
}

}  // namespace
