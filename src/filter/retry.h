// Steps on a file that another program may hold for a moment.
//
// On Windows a virus scanner, the search indexer or a backup agent often opens a file right
// after it was written, and while it reads, opening the file, or linking, renaming or removing
// it, can fail with a sharing violation or access denied (sys::isBriefLock). Such a step is tried
// again after growing pauses, for at most kBriefLockWait in all, before its failure stands.
// Elsewhere no failure is of that kind, and every step is tried once.
#pragma once

#include <algorithm>
#include <chrono>

#include "sys/platform.h"
#include "sys/report.h"

// The time the retries go by: the real one, or a fake one in tests.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::milliseconds now() = 0;
  virtual void sleep(std::chrono::milliseconds pause) = 0;
};

Clock& realClock();

inline constexpr std::chrono::milliseconds kBriefLockWait{5000};
inline constexpr std::chrono::milliseconds kFirstPause{10};
inline constexpr std::chrono::milliseconds kLongestPause{1000};

// Runs step, which gives an Outcome, until it is done, fails for any reason but a brief lock, or
// kBriefLockWait has passed since the first try; gives what the last try gave. A step checks
// anew, on every try, whatever it relies on: the file may have changed during the pause.
template <typename Step>
Outcome retryBriefLocks(Step step, bool (*isBriefLock)(sys::ErrorCode) = sys::isBriefLock,
                        Clock& clock = realClock()) {
  const std::chrono::milliseconds start = clock.now();
  std::chrono::milliseconds pause = kFirstPause;
  for (;;) {
    Outcome tried = step();
    // A failure of the tool's own has no error code, and 0 is no brief lock.
    if (tried.ok() || !isBriefLock(tried.code())) return tried;
    std::chrono::milliseconds left = kBriefLockWait - (clock.now() - start);
    if (left <= std::chrono::milliseconds::zero()) return tried;
    clock.sleep(std::min(pause, left));
    pause = std::min(pause * 2, kLongestPause);
  }
}
