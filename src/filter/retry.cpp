#include "filter/retry.h"

#include <thread>

namespace {

class SteadyClock : public Clock {
 public:
  std::chrono::milliseconds now() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void sleep(std::chrono::milliseconds pause) override { std::this_thread::sleep_for(pause); }
};

}  // namespace

Clock& realClock() {
  static SteadyClock clock;
  return clock;
}
