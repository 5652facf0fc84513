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

EventHandle EventTable::Create(bool manualReset, bool initialState) {
    const std::lock_guard lock(mutex_);
    const EventHandle handle = next_++;
    events_[handle] = std::make_shared<EventObject>(manualReset, initialState);
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
    events_.erase(it);
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
