// The lock of one _QmpClient: a mutex with a poisoned mark that is set, for good, when an
// operation is abandoned by an internal fault while holding it.
#pragma once

#include <exception>
#include <mutex>

namespace brindle::py {

class ClientLock {
 public:
  // Holds the lock for one operation. Poisons it if a fault propagates out of the holder's scope
  // that was not already propagating when the lock was taken.
  class Guard {
   public:
    explicit Guard(ClientLock& lock)
        : lock_(lock), exceptions_at_entry_(std::uncaught_exceptions()) {
      lock_.mutex_.lock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) lock_.poisoned_ = true;
      lock_.mutex_.unlock();
    }
    // True when an earlier operation left the lock poisoned: the caller must not go on.
    bool poisoned() const { return lock_.poisoned_; }

   private:
    ClientLock& lock_;
    int exceptions_at_entry_;
  };

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // only read or written with mutex_ held
};

}  // namespace brindle::py
