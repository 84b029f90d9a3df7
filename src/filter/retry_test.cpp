#include "filter/retry.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

constexpr sys::ErrorCode kHeld = 32;
constexpr sys::ErrorCode kGone = 2;

bool isHeld(sys::ErrorCode code) {
  return code == kHeld;
}

class FakeClock : public Clock {
 public:
  milliseconds now() override { return now_; }
  void sleep(milliseconds pause) override {
    pauses.push_back(pause.count());
    now_ += pause;
  }
  void pass(milliseconds time) { now_ += time; }
  std::vector<long long> pauses;

 private:
  milliseconds now_{1000000};
};

struct RetryCase {
  const char* name;
  std::vector<Outcome> tries;  // what each try gives; the last one again from then on
  milliseconds eachTryTakes;
  int expectedTries;
  std::vector<long long> expectedPauses;  // empty: not checked beyond their sum
  long long expectedWait;
  bool succeeds;
};

TEST(Retry, BriefLocksAreWaitedOutForFiveSecondsAtMost) {
  const Outcome ok;
  const Outcome held = Outcome::systemError("rename(tmpFile)", kHeld);
  const Outcome gone = Outcome::systemError("rename(tmpFile)", kGone);
  const Outcome changed = Outcome::failure("stat(acctFile)", "the account file changed");
  const RetryCase cases[] = {
      {"done at once", {ok}, milliseconds{0}, 1, {}, 0, true},
      {"held for a moment", {held, held, held, ok}, milliseconds{0}, 4, {10, 20, 40}, 70, true},
      {"another failure is final", {gone}, milliseconds{0}, 1, {}, 0, false},
      {"a failure of the tool's own is final", {changed}, milliseconds{0}, 1, {}, 0, false},
      {"a change found after a pause ends it",
       {held, changed},
       milliseconds{0},
       2,
       {10},
       10,
       false},
      {"held for good",
       {held},
       milliseconds{0},
       12,
       {10, 20, 40, 80, 160, 320, 640, 1000, 1000, 1000, 730},
       5000,
       false},
      {"slow tries count too", {held}, milliseconds{2000}, 3, {10, 20}, 30, false},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    int tries = 0;
    Outcome last = retryBriefLocks(
        [&] {
          clock.pass(c.eachTryTakes);
          const Outcome& f = c.tries[std::min<std::size_t>(tries, c.tries.size() - 1)];
          ++tries;
          return f;
        },
        isHeld, clock);
    EXPECT_EQ(tries, c.expectedTries);
    EXPECT_EQ(last.ok(), c.succeeds);
    long long waited = 0;
    for (long long p : clock.pauses) waited += p;
    EXPECT_EQ(waited, c.expectedWait);
    if (!c.expectedPauses.empty()) {
      EXPECT_EQ(clock.pauses, c.expectedPauses);
    }
  }
}

}  // namespace
