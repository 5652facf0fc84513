#pragma once
// Takes the right to override file permissions away from the calling thread for a scope, so that
// a privileged test (CI runs as root) meets a permission refusal as an ordinary user would.
// Capabilities are per thread at the system call level, so only this thread is affected; the
// permitted set keeps them and the destructor gives them back.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qdm::test {

class WithoutFileAccessOverride {
  public:
    WithoutFileAccessOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        active_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    WithoutFileAccessOverride(const WithoutFileAccessOverride&) = delete;
    WithoutFileAccessOverride& operator=(const WithoutFileAccessOverride&) = delete;
    ~WithoutFileAccessOverride() {
        if (active_) syscall(SYS_capset, &header_, saved_);
    }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

}  // namespace qdm::test
