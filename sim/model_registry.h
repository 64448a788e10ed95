// What the simulated sources have in common: a kind's models kept by bridge, a fresh model
// installed as a bridge's peer, and the control functions reaching a bridge's model under its
// own mutex. Internal to the stand-in driver.
//
// A Model has `std::mutex mutex`, `int bridge` and two members that run under that mutex:
// `receive(data, length)`, the bytes the host wrote, and `reopen()`, the bridge was opened. The
// peer holds the model; it leaves the registry when the driver drops the peer (reset, detach,
// another peer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

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
