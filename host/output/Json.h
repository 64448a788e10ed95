// One JSON object a line on a stream, for everything hvsrc-host says to scripts.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

namespace host {

// Texts from devices are not always UTF-8: what is not is replaced, never an exception.
void emitJson(std::ostream& out, const nlohmann::json& object);

}  // namespace host
