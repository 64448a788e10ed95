// The plug-in's one export and its one library object.
#include "HwLib.h"
#include "jd/IHwLib.h"
#include "platform.h"

namespace {

// Static storage duration; the D2XX loader is constructed before it and destroyed after it, so
// the driver is still loaded while the library object is torn down.
HwHvSrc::HwLib theLibrary;

}  // namespace

extern "C" PLAT_EXPORT jd::IHwLib* jdGetHwLib() {
    return &theLibrary;
}
