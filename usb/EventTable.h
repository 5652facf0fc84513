#pragma once
// Event objects with the Win32 semantics the USB class family relies on (unnamed, auto or
// manual reset), built on a mutex and a condition variable so that a wait sleeps until
// the event is set or its time runs out. Thread-safe: transfers complete on another thread.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "usb/UsbDriver.h"

namespace qdm::usb {

class EventObject {
  public:
    EventObject(bool manualReset, bool initialState)
        : manualReset_(manualReset), signalled_(initialState) {}

    void Set();
    void Reset();
    // Signalled (an auto-reset event is consumed), or TimedOut; kInfinite waits without limit.
    WaitResult Wait(std::uint32_t milliseconds);
    [[nodiscard]] bool Signalled() const;

  private:
    const bool manualReset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

class EventTable {
  public:
    EventHandle Create(bool manualReset, bool initialState);
    WaitResult Wait(EventHandle event, std::uint32_t milliseconds);
    bool Close(EventHandle event);
    // The object behind a handle (null for an unknown one); completions hold it so that closing
    // the handle while a transfer is pending never leaves them signalling freed memory.
    [[nodiscard]] std::shared_ptr<EventObject> Get(EventHandle event) const;
    [[nodiscard]] std::size_t Count() const;

  private:
    mutable std::mutex mutex_;
    std::map<EventHandle, std::shared_ptr<EventObject>> events_;
    EventHandle next_ = 1;
};

}  // namespace qdm::usb
