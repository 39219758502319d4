#pragma once

// A signal with slots: emitting calls every connected slot, in connection order, with the signal's
// arguments. A connection ends when either side goes: the signal's destructor disconnects every slot,
// and a slot holder keeps its connections in a ScopedConnection (or a SlotHolder) that disconnects when
// the holder is destroyed. Connecting, disconnecting and emitting are safe from any thread; a slot may
// disconnect itself (or another) while the signal is being emitted. Slots run on the emitting thread,
// without the signal's lock held.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace lumo {

class ScopedConnection {
public:
    ScopedConnection() = default;
    explicit ScopedConnection(std::function<void()> disconnect) : m_disconnect(std::move(disconnect)) {}
    ScopedConnection(ScopedConnection&& other) noexcept : m_disconnect(std::move(other.m_disconnect)) {
        other.m_disconnect = nullptr;
    }
    ScopedConnection& operator=(ScopedConnection&& other) noexcept {
        if (this != &other) {
            disconnect();
            m_disconnect = std::move(other.m_disconnect);
            other.m_disconnect = nullptr;
        }
        return *this;
    }
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;
    ~ScopedConnection() { disconnect(); }

    void disconnect() {
        if (m_disconnect) {
            auto disconnect = std::move(m_disconnect);
            m_disconnect = nullptr;
            disconnect();
        }
    }
    bool connected() const { return static_cast<bool>(m_disconnect); }

private:
    std::function<void()> m_disconnect;
};

// What a receiver derives from (or holds) to keep its connections: they end with it.
class SlotHolder {
public:
    void keep(ScopedConnection connection) { m_connections.push_back(std::move(connection)); }
    void disconnectAll() { m_connections.clear(); }

private:
    std::vector<ScopedConnection> m_connections;
};

template <typename... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() : m_state(std::make_shared<State>()) {}
    ~Signal() {
        std::lock_guard lock(m_state->mutex);
        m_state->slots.clear();
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] ScopedConnection connect(Slot slot) {
        std::lock_guard lock(m_state->mutex);
        const std::uint64_t id = ++m_state->nextId;
        m_state->slots.push_back({id, std::make_shared<Slot>(std::move(slot))});
        std::weak_ptr<State> weak = m_state;
        return ScopedConnection([weak, id] {
            if (auto state = weak.lock()) {
                std::lock_guard lock(state->mutex);
                std::erase_if(state->slots, [id](const Entry& entry) { return entry.id == id; });
            }
        });
    }

    void emit(Args... args) const {
        std::vector<Entry> slots;
        {
            std::lock_guard lock(m_state->mutex);
            slots = m_state->slots;
        }
        for (const Entry& entry : slots) {
            bool stillConnected = false;
            {
                std::lock_guard lock(m_state->mutex);
                for (const Entry& current : m_state->slots)
                    stillConnected = stillConnected || current.id == entry.id;
            }
            if (stillConnected)
                (*entry.slot)(args...);
        }
    }

    std::size_t slotCount() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->slots.size();
    }

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Slot> slot;
    };
    struct State {
        std::mutex mutex;
        std::vector<Entry> slots;
        std::uint64_t nextId = 0;
    };
    std::shared_ptr<State> m_state;
};

} // namespace lumo
