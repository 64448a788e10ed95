// What the simulated sources have in common: a kind's models kept by bridge, a fresh model
// installed as a bridge's peer, and the control functions reaching a bridge's model under its
// own mutex. Internal to the stand-in driver.
//
// A Model has `std::mutex mutex`, `int bridge` and two members that run under that mutex:
// `receive(data, length)`, the bytes the host wrote, and `reopen()`, the bridge was opened. The
// peer holds the model; it leaves the registry when the driver drops the peer (reset, detach,
// another peer). The control functions every kind offers in the same way need more of it:
// `delayMs`, the faults `oneShot` and `persistent`, the exact next answer `hasRaw` and `raw` (a
// string or a byte vector), `ramp` with `advance()`, and, for the sources that record their
// commands as texts, `commands`.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "simctl.h"

namespace simmodel {

template <typename Model>
class Registry {
public:
    // Installs a fresh model as the bridge's peer; 0, or -1 when the bridge takes no peer.
    static int install(int bridge) {
        ModelPtr model = std::make_shared<Model>();
        model->bridge = bridge;
        // Registered before the driver takes the peer, so a control call made meanwhile reaches
        // the new model. The earlier model, destroyed inside sim_set_peer, is no longer the
        // registered one and so leaves the new one in place.
        {
            Registry& all = instance();
            std::lock_guard<std::mutex> lock(all.mutex_);
            all.byBridge_[bridge] = model;
        }
        ModelPtr* held = new ModelPtr(model);
        const SimPeer peer{onWrite, onOpen, onDestroy, held};
        if (sim_set_peer(bridge, &peer) != 0) {
            onDestroy(held);
            return -1;
        }
        return 0;
    }

    // sim_attach and install in one: the bridge id, or -1.
    static int attach(const char* description, const char* serial) {
        const int bridge = sim_attach(description, serial);
        if (bridge <= 0 || install(bridge) != 0) {
            return -1;
        }
        return bridge;
    }

    // Runs `change` on the bridge's model under its mutex; -1 without a model.
    template <typename Change>
    static int withModel(int bridge, Change change) {
        const ModelPtr model = find(bridge);
        if (!model) {
            return -1;
        }
        std::lock_guard<std::mutex> lock(model->mutex);
        return change(*model);
    }

    // Answers are delivered this many milliseconds after their request.
    static int setDelay(int bridge, unsigned delayMs) {
        return withModel(bridge, [&](Model& m) {
            m.delayMs = delayMs;
            return 0;
        });
    }

    // Adds faults for the next answer or, persistent != 0, for every one.
    static int addFaults(int bridge, int faults, int persistent) {
        return withModel(bridge, [&](Model& m) {
            if (persistent != 0) {
                m.persistent |= faults;
            } else {
                m.oneShot |= faults;
            }
            return 0;
        });
    }

    // The next answer is exactly these bytes; -1 for null bytes with a length.
    static int replyNext(int bridge, const void* data, size_t length) {
        if (data == nullptr && length > 0) {
            return -1;
        }
        return withModel(bridge, [&](Model& m) {
            using Byte = typename decltype(m.raw)::value_type;
            const Byte* bytes = static_cast<const Byte*>(data);
            m.hasRaw = true;
            m.raw.assign(bytes, bytes + length);
            return 0;
        });
    }

    // Drops every fault and an exact next answer still pending.
    static int clearFaults(int bridge) {
        return withModel(bridge, [&](Model& m) {
            m.oneShot = 0;
            m.persistent = 0;
            m.hasRaw = false;
            m.raw.clear();
            return 0;
        });
    }

    // The rate at which the outputs move toward their set voltages from now on; -1 for a
    // negative rate or one that is not a number.
    static int setRamp(int bridge, double perSecond) {
        if (!(perSecond >= 0.0)) {
            return -1;
        }
        return withModel(bridge, [&](Model& m) {
            m.advance();
            m.ramp = perSecond;
            return 0;
        });
    }

    static int commandCount(int bridge) {
        return withModel(bridge, [&](Model& m) { return static_cast<int>(m.commands.size()); });
    }

    // Copies the index-th command, cut to capacity - 1 and NUL-terminated; its full length, or
    // -1 for a bad index.
    static int command(int bridge, int index, char* buffer, size_t capacity) {
        return withModel(bridge, [&](Model& m) {
            if (index < 0 || static_cast<size_t>(index) >= m.commands.size()) {
                return -1;
            }
            const std::string& text = m.commands[static_cast<size_t>(index)];
            if (buffer != nullptr && capacity > 0) {
                const size_t copied = std::min(text.size(), capacity - 1);
                std::memcpy(buffer, text.data(), copied);
                buffer[copied] = '\0';
            }
            return static_cast<int>(text.size());
        });
    }

    static int clearCommands(int bridge) {
        return withModel(bridge, [&](Model& m) {
            m.commands.clear();
            return 0;
        });
    }

private:
    using ModelPtr = std::shared_ptr<Model>;

    // Never destroyed: the driver may drop peers while the process exits.
    static Registry& instance() {
        static Registry* registry = new Registry;
        return *registry;
    }

    static ModelPtr find(int bridge) {
        Registry& all = instance();
        std::lock_guard<std::mutex> lock(all.mutex_);
        const auto it = all.byBridge_.find(bridge);
        return it == all.byBridge_.end() ? nullptr : it->second;
    }

    static void onWrite(void* context, int /*bridge*/, const uint8_t* data, size_t length) {
        Model& m = **static_cast<ModelPtr*>(context);
        std::lock_guard<std::mutex> lock(m.mutex);
        m.receive(data, length);
    }

    static void onOpen(void* context, int /*bridge*/) {
        Model& m = **static_cast<ModelPtr*>(context);
        std::lock_guard<std::mutex> lock(m.mutex);
        m.reopen();
    }

    static void onDestroy(void* context) {
        ModelPtr* held = static_cast<ModelPtr*>(context);
        {
            Registry& all = instance();
            std::lock_guard<std::mutex> lock(all.mutex_);
            const auto it = all.byBridge_.find((*held)->bridge);
            if (it != all.byBridge_.end() && it->second == *held) {
                all.byBridge_.erase(it);
            }
        }
        delete held;
    }

    std::mutex mutex_;
    std::map<int, ModelPtr> byBridge_;
};

}  // namespace simmodel
