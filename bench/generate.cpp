// Writes a deterministic account file and GM list of the kind a game server saves, for timing
// the tool at scale:
//   quelm-generate ACCOUNTS GMLIST MEGABYTES [violations-per-thousand] [gm-names]
// Accounts carry 12 to 18 settings in mixed case with CR LF line ends; the chosen share of the
// ordinary ones carries a PLEVEL line or forbidden PRIV bits (0 gives a clean file). The GM list
// names gm-names accounts (20 by default), the staff accounts of the file among them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A small deterministic generator, the same on every platform.
struct Rng {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

// Every 5000th account, up to the 20th such, belongs to the staff.
constexpr long kStaff = 20;
constexpr long kStaffEvery = 5000;

const char* const kLanguages[] = {"ENU", "DEU", "FRA", "ESP", "CSY", "PLK"};

void dateLine(char* line, std::size_t size, const char* key, Rng& rng) {
  unsigned year = 2001 + rng.below(25), month = 1 + rng.below(12), day = 1 + rng.below(28);
  unsigned hour = rng.below(24), minute = rng.below(60), second = rng.below(60);
  std::snprintf(line, size, "%s=%u/%02u/%02u %02u:%02u:%02u\r\n", key, year, month, day, hour,
                minute, second);
}

void addressLine(char* line, std::size_t size, const char* key, Rng& rng) {
  unsigned a = 1 + rng.below(223), b = rng.below(256), c = rng.below(256), d = 1 + rng.below(254);
  std::snprintf(line, size, "%s=%u.%u.%u.%u\r\n", key, a, b, c, d);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s ACCOUNTS GMLIST MEGABYTES [violations-per-thousand] [gm-names]\n",
                 argv[0]);
    return 2;
  }
  const std::uint64_t target = std::strtoull(argv[3], nullptr, 10) << 20;
  const std::uint32_t perThousand = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 5;
  const long gmNames = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 20;
  std::FILE* out = std::fopen(argv[1], "wb");
  std::FILE* gm = std::fopen(argv[2], "wb");
  if (out == nullptr || gm == nullptr) {
    std::perror("fopen");
    return 2;
  }
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

  Rng rng{20261207};
  std::uint64_t written = 0;
  // The staff accounts first; the rest of the list names accounts the file does not hold.
  for (long listed = 0; listed < gmNames; ++listed) {
    if (listed < kStaff) {
      std::fprintf(gm, "Staff%ld\r\n", listed * kStaffEvery);
    } else {
      std::fprintf(gm, "gm%ld\r\n", listed);
    }
  }
  std::string account;
  for (long n = 0; written < target; ++n) {
    bool staff = n % kStaffEvery == 0 && n / kStaffEvery < kStaff;
    std::string name = (staff ? "Staff" : "player") + std::to_string(n);
    account.clear();
    account += "[" + name + "]\r\n";
    int settings = 12 + static_cast<int>(rng.below(7));
    bool violating = !staff && rng.below(1000) < perThousand;
    int badLine =
        violating ? static_cast<int>(rng.below(static_cast<std::uint32_t>(settings))) : -1;
    char line[128];
    for (int i = 0; i < settings; ++i) {
      if (i == badLine) {
        if (rng.below(2) == 0) {
          // One draw per statement: the order of arguments' evaluation is the compiler's.
          const char* key = rng.below(2) ? "PLEVEL" : "plevel";
          std::snprintf(line, sizeof line, "%s=%u\r\n", key, 1 + rng.below(7));
        } else {
          std::snprintf(line, sizeof line, "PRIV=0%x\r\n", 0x2000u | rng.below(0x100));
        }
        account += line;
        continue;
      }
      switch (i < 12 ? i : 12 + (i - 12) % 3) {
        case 0:
          std::snprintf(line, sizeof line, "%s=0%x\r\n", staff ? "PLEVEL" : "Priv",
                        staff ? 4u : (rng.below(2) ? 0x40u : 0x1040u));
          break;
        case 1:
          std::snprintf(line, sizeof line, "PASSWORD=pw%08x\r\n", rng.next());
          break;
        case 2:
          std::snprintf(line, sizeof line, "TOTALCONNECTTIME=%u\r\n", rng.below(900000));
          break;
        case 3:
          std::snprintf(line, sizeof line, "LASTCONNECTTIME=%u\r\n", rng.below(600));
          break;
        case 4:
          dateLine(line, sizeof line, "FIRSTCONNECTDATE", rng);
          break;
        case 5:
          addressLine(line, sizeof line, "FIRSTIP", rng);
          break;
        case 6:
          dateLine(line, sizeof line, "LastConnectDate", rng);
          break;
        case 7:
          addressLine(line, sizeof line, "LASTIP", rng);
          break;
        case 8:
          std::snprintf(line, sizeof line, "LASTCHARUID=0%x\r\n", rng.below(0x400000));
          break;
        case 9:
          std::snprintf(line, sizeof line, "CHARUID=0%x\r\n", rng.below(0x400000));
          break;
        case 10:
          std::snprintf(line, sizeof line, "LANG=%s\r\n", kLanguages[rng.below(6)]);
          break;
        case 11:
          std::snprintf(line, sizeof line, "chatname=%s_%u\r\n", name.c_str(), rng.below(100));
          break;
        case 12:
          std::snprintf(line, sizeof line, "EMAIL=%s@example.org\r\n", name.c_str());
          break;
        case 13:
          std::snprintf(line, sizeof line, "Karma=%d\r\n",
                        static_cast<int>(rng.below(20001)) - 10000);
          break;
        default:
          std::snprintf(line, sizeof line, "FAME=%u\r\n", rng.below(10001));
          break;
      }
      account += line;
    }
    account += "\r\n";
    std::fwrite(account.data(), 1, account.size(), out);
    written += account.size();
  }
  if (std::fclose(out) != 0 || std::fclose(gm) != 0) {
    std::perror("fclose");
    return 2;
  }
  return 0;
}
