#include "usb/EventTable.h"

#include <chrono>

namespace qdm::usb {

void EventObject::Set() {
    {
        const std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void EventObject::Reset() {
    const std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool EventObject::Signalled() const {
    const std::lock_guard lock(mutex_);
    return signalled_;
}

WaitResult EventObject::Wait(std::uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    const auto isSet = [this] { return signalled_; };
    if (milliseconds == kInfinite) {
        changed_.wait(lock, isSet);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSet)) {
        return WaitResult::TimedOut;
    }
    if (!manualReset_) signalled_ = false;
    return WaitResult::Signalled;
}

EventHandle EventTable::Create(const char* name, bool manualReset, bool initialState) {
    const std::string key = name != nullptr ? name : "";
    const std::lock_guard lock(mutex_);
    std::shared_ptr<EventObject> object;
    if (!key.empty()) {
        const auto it = named_.find(key);
        if (it != named_.end()) object = it->second.lock();
    }
    if (!object) {
        object = std::make_shared<EventObject>(key, manualReset, initialState);
        if (!key.empty()) named_[key] = object;
    }
    const EventHandle handle = next_++;
    events_[handle] = std::move(object);
    return handle;
}

WaitResult EventTable::Wait(EventHandle event, std::uint32_t milliseconds) {
    const auto object = Get(event);
    if (!object) return WaitResult::Failed;
    return object->Wait(milliseconds);
}

bool EventTable::Close(EventHandle event) {
    const std::lock_guard lock(mutex_);
    const auto it = events_.find(event);
    if (it == events_.end()) return false;
    const std::string name = it->second->Name();
    events_.erase(it);
    if (!name.empty()) {
        const auto named = named_.find(name);
        if (named != named_.end() && named->second.expired()) named_.erase(named);
    }
    return true;
}

std::shared_ptr<EventObject> EventTable::Get(EventHandle event) const {
    const std::lock_guard lock(mutex_);
    const auto it = events_.find(event);
    return it == events_.end() ? nullptr : it->second;
}

std::size_t EventTable::Count() const {
    const std::lock_guard lock(mutex_);
    return events_.size();
}

}  // namespace qdm::usb
