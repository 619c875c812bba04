// Runs a fuzz target without libFuzzer (GCC has none): over the files and folders named on the
// command line (regression cases), then over `--runs` inputs of random bytes from `--seed`; the
// targets read their inputs as choices, so random bytes explore them as well as mutated ones
// would, without coverage guidance. An input that crashes, trips a sanitizer or runs longer than
// `--timeout` seconds is written to the `--keep` folder (build/fuzz by default) before the
// process dies, so that it can be kept as a regression case.
//   fuzz_target [--seed S] [--runs N] [--seconds T] [--max-len L] [--timeout T] [--keep DIR]
//   [paths]

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" void __sanitizer_set_death_callback(void (*)()) __attribute__((weak));

namespace {

namespace fs = std::filesystem;
std::vector<std::uint8_t> current;
std::string keep_dir = "build/fuzz", keep_name;

void keep_current() {
  fs::create_directories(keep_dir);
  const std::string path = keep_dir + "/" + keep_name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(current.data()), static_cast<long>(current.size()));
  std::fprintf(stderr, "\nfuzz: input kept as %s (%zu bytes)\n", path.c_str(), current.size());
}

void on_signal(int sig) {
  if (sig == SIGALRM) keep_name = "timeout-" + keep_name;
  keep_current();
  signal(sig, SIG_DFL);
  raise(sig == SIGALRM ? SIGABRT : sig);
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs the current input under the alarm; returns the seconds it took.
double run(unsigned timeout) {
  const auto t0 = std::chrono::steady_clock::now();
  alarm(timeout);
  LLVMFuzzerTestOneInput(current.data(), current.size());
  alarm(0);
  return since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = 1, runs = 0, max_len = 512, cases = 0, done = 0;
  double seconds = 0, slowest = 0;
  unsigned timeout = 10;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--seed")
      seed = std::stoull(next());
    else if (a == "--runs")
      runs = std::stoull(next());
    else if (a == "--seconds")
      seconds = std::stod(next());
    else if (a == "--max-len")
      max_len = std::stoull(next());
    else if (a == "--timeout")
      timeout = static_cast<unsigned>(std::stoul(next()));
    else if (a == "--keep")
      keep_dir = next();
    else
      paths.push_back(a);
  }
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(keep_current);
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM}) signal(sig, on_signal);

  for (const auto& p : paths) {
    if (!fs::exists(p)) continue;  // a target without kept cases yet
    std::vector<fs::path> files{p};
    if (fs::is_directory(p)) files.assign(fs::directory_iterator(p), fs::directory_iterator());
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      current.assign(std::istreambuf_iterator<char>(in), {});
      keep_name = "failing-" + f.filename().string();
      run(timeout);
      ++cases;
    }
  }
  std::mt19937_64 rng(seed);
  const auto start = std::chrono::steady_clock::now();
  for (; done < runs || (runs == 0 && seconds > 0); ++done) {
    if (seconds > 0 && since(start) > seconds) break;
    current.resize(rng() % (max_len + 1));
    for (auto& b : current) b = static_cast<std::uint8_t>(rng());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(done));
    keep_name = "crash-seed" + std::to_string(seed) + "-" + hex;
    slowest = std::max(slowest, run(timeout));
  }
  std::printf(
      "fuzz: %llu regression cases and %llu random inputs (seed %llu) passed; slowest "
      "random input %.3f s\n",
      static_cast<unsigned long long>(cases), static_cast<unsigned long long>(done),
      static_cast<unsigned long long>(seed), slowest);
  return 0;
}
