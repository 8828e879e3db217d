// HEX loading against the tools people already use: our loader (in process,
// and as `quelloader-cli image` in its own process) against
// `srec_cat FILE -Intel -o - -binary` and `objcopy -I ihex -O binary FILE OUT`
// on the same files, in the same run: generated multi-MiB HEX files and the
// assembler fixtures. The programs take turns, one run each per round, so a
// change in the machine's load falls on all of them alike. Each figure is the
// median wall time with its spread (the middle half of the runs, first to
// third quartile); a ratio is the median of the rounds' own ratios, above 1
// meaning ours is that many times faster than the faster peer.
//
// Usage: hex_load_bench [--runs N] [--cli PATH] [--fixtures DIR]

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/flash_image.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double at = q * static_cast<double>(v.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(at);
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

double Median(const std::vector<double>& v) { return Quantile(v, 0.5); }

// Times of one program over the rounds; empty once a run failed.
struct Series {
  std::vector<double> ms;
  bool failed = false;
  void Add(double t) {
    if (t < 0) failed = true;
    else ms.push_back(t);
  }
  bool ok() const { return !failed && !ms.empty(); }
};

// Wall time of one run of a program, stdout to /dev/null; negative on
// failure. `cpu_ms`, when given, receives the process's user plus system
// time, which waiting for a busy machine's cores does not add to.
double RunProgram(const std::vector<std::string>& argv, double* cpu_ms = nullptr) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (cpu_ms) {
    const auto to_ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    *cpu_ms = to_ms(usage.ru_utime) + to_ms(usage.ru_stime);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// A HEX file as compilers write it: 16 data bytes a record, an extended
// linear address record at every 64 KiB, the end-of-file record.
void WriteHex(const fs::path& path, std::size_t data_size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(data_size * 3);
  char line[64];
  auto record = [&](std::uint8_t type, std::uint16_t address, const std::uint8_t* data, int count) {
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    int n = std::snprintf(line, sizeof line, ":%02X%04X%02X", count, address, type);
    out.append(line, n);
    for (int i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "%02X", data[i]);
      out.append(line, 2);
      sum += data[i];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out.append(line, 3);
  };
  std::uint8_t data[16];
  for (std::size_t a = 0; a < data_size; a += 16) {
    if (a % 0x10000 == 0 && a > 0) {
      const std::uint8_t upper[2] = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16)};
      record(4, 0, upper, 2);
    }
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    record(0, static_cast<std::uint16_t>(a & 0xFFFF), data, 16);
  }
  record(1, 0, nullptr, 0);
  std::ofstream(path, std::ios::binary) << out;
}

ql::McuFamily FamilyOf(const std::string& name) {
  if (name.rfind("pic16", 0) == 0) return ql::McuFamily::Pic16;
  if (name.rfind("pic18", 0) == 0) return ql::McuFamily::Pic18;
  return ql::McuFamily::None;
}

std::string FamilyArg(ql::McuFamily f) {
  return f == ql::McuFamily::Pic16 ? "pic16" : f == ql::McuFamily::Pic18 ? "pic18" : "none";
}

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "median (q1-q3)" in milliseconds.
void Cell(const Series& s) {
  char text[64];
  if (!s.ok()) std::snprintf(text, sizeof text, "n/a");
  else if (Median(s.ms) < 10)
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", Median(s.ms), Quantile(s.ms, 0.25), Quantile(s.ms, 0.75));
  else std::snprintf(text, sizeof text, "%.1f (%.1f-%.1f)", Median(s.ms), Quantile(s.ms, 0.25), Quantile(s.ms, 0.75));
  std::printf(" %20s", text);
}

// The median of the rounds' ratios peer/ours, where the faster peer of each
// round is the peer.
void RatioCell(const Series& ours, const Series& srec, const Series& objcopy) {
  if (!ours.ok() || (!srec.ok() && !objcopy.ok())) {
    std::printf(" %8s", "n/a");
    return;
  }
  std::vector<double> r;
  for (std::size_t i = 0; i < ours.ms.size(); ++i) {
    double peer = -1;
    if (srec.ok() && i < srec.ms.size()) peer = srec.ms[i];
    if (objcopy.ok() && i < objcopy.ms.size()) peer = peer < 0 ? objcopy.ms[i] : std::min(peer, objcopy.ms[i]);
    if (peer > 0 && ours.ms[i] > 0) r.push_back(peer / ours.ms[i]);
  }
  if (r.empty()) std::printf(" %8s", "n/a");
  else std::printf(" %8.2f", Median(r));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 21;
  std::string cli = QUELLOADER_CLI_PATH;
  std::string fixtures = QUELLOADER_FIXTURES;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--cli") == 0) cli = argv[i + 1];
    else if (std::strcmp(argv[i], "--fixtures") == 0) fixtures = argv[i + 1];
  }
  if (!cli.empty() && !fs::exists(cli)) cli.clear();

  char tmpl[] = "/tmp/quelloader-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const fs::path dir = tmpl;

  struct File {
    fs::path path;
    ql::McuFamily family;
    bool generated;
  };
  std::vector<File> files;
  for (std::size_t mib : {1, 4, 8}) {
    const fs::path p = dir / ("generated-" + std::to_string(mib) + "MiB.hex");
    WriteHex(p, mib << 20, static_cast<std::uint32_t>(mib));
    files.push_back({p, ql::McuFamily::None, true});
  }
  std::vector<fs::path> fixture_files;
  if (fs::is_directory(fixtures))
    for (const auto& e : fs::directory_iterator(fixtures))
      if (e.path().extension() == ".hex") fixture_files.push_back(e.path());
  std::sort(fixture_files.begin(), fixture_files.end());
  for (const auto& p : fixture_files) files.push_back({p, FamilyOf(p.filename().string()), false});

  std::printf("HEX loading, %d rounds, milliseconds of wall time: median (first-third quartile)\n", runs);
  std::printf("%-26s %7s %20s %20s %20s %20s %8s %8s %5s\n", "file", "HEX KiB", "ours", "ours-cli", "srec_cat",
              "objcopy", "x(ours)", "x(cli)", "same");
  const fs::path out = dir / "out.bin";
  const fs::path cli_out = dir / "cli.bin";
  struct CpuRow {
    std::string name;
    Series cli, objcopy;
  };
  std::vector<CpuRow> cpu_rows;
  for (const File& f : files) {
    const std::string path = f.path.string();
    ql::FlashImage image;
    Series ours, ours_cli, srec, objcopy, cli_cpu, objcopy_cpu;
    for (int round = 0; round < runs; ++round) {
      // A fresh image each run, as a new load in the window or the command line has.
      ql::FlashImage fresh;
      const auto start = Clock::now();
      const ql::LoadResult r = ql::LoadHexFile(path, f.family, fresh);
      ours.Add(r.ok() ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1.0);
      image = std::move(fresh);
      if (!cli.empty())
      if (!cli.empty()) {
        double cpu = 0;
        ours_cli.Add(
            RunProgram({cli, "image", path, "--family", FamilyArg(f.family), "-o", cli_out.string()}, &cpu));
        cli_cpu.Add(cpu);
      }
      srec.Add(RunProgram({"srec_cat", path, "-Intel", "-o", "-", "-binary"}));
      double cpu = 0;
      objcopy.Add(RunProgram({"objcopy", "-I", "ihex", "-O", "binary", path, out.string()}, &cpu));
      objcopy_cpu.Add(cpu);
    }
    // On the generated files (from address 0, no family limit) all of them
    // must give the same bytes.
    std::string same = "-";
    if (f.generated && objcopy.ok()) {
      const bool cli_same = ours_cli.ok() ? ReadFile(cli_out) == image.bytes : true;
      same = ReadFile(out) == image.bytes && cli_same ? "yes" : "NO";
    }
    std::printf("%-26s %7.0f", f.path.filename().string().c_str(), fs::file_size(f.path) / 1024.0);
    Cell(ours);
    Cell(ours_cli);
    Cell(srec);
    Cell(objcopy);
    RatioCell(ours, srec, objcopy);
    RatioCell(ours_cli, srec, objcopy);
    std::printf(" %5s\n", same.c_str());
    cpu_rows.push_back({f.path.filename().string(), cli_cpu, objcopy_cpu});
  }
  // The same runs as process CPU time (user + system): the start-up and
  // loading work itself, without the waits a loaded machine adds.
  std::printf("\nProcess CPU time of the same runs, milliseconds (user + system): median (first-third quartile)\n");
  std::printf("%-26s %20s %20s %8s\n", "file", "ours-cli", "objcopy", "x(cli)");
  for (const auto& row : cpu_rows) {
    std::printf("%-26s", row.name.c_str());
    Cell(row.cli);
    Cell(row.objcopy);
    RatioCell(row.cli, Series{}, row.objcopy);
    std::printf("\n");
  }
  // Where a short run's time goes: starting any process at all (true),
  // starting each program and leaving at once (--version), and the smallest
  // fixture loaded and written.
  if (!cli.empty() && !fixture_files.empty()) {
    const fs::path smallest = *std::min_element(
        fixture_files.begin(), fixture_files.end(),
        [](const fs::path& a, const fs::path& b) { return fs::file_size(a) < fs::file_size(b); });
    const std::string small = smallest.string();
    struct Probe {
      const char* what;
      std::vector<std::string> argv;
      Series wall, cpu;
    };
    std::vector<Probe> probes = {
        {"true", {"true"}, {}, {}},
        {"quelloader-cli --version", {cli, "--version"}, {}, {}},
        {"objcopy --version", {"objcopy", "--version"}, {}, {}},
        {"quelloader-cli image (smallest)", {cli, "image", small, "-o", (dir / "s1.bin").string()}, {}, {}},
        {"objcopy (smallest)", {"objcopy", "-I", "ihex", "-O", "binary", small, (dir / "s2.bin").string()}, {}, {}},
    };
    for (int round = 0; round < 5 * runs; ++round) {
      for (Probe& p : probes) {
        double cpu = 0;
        p.wall.Add(RunProgram(p.argv, &cpu));
        p.cpu.Add(cpu);
      }
    }
    std::printf("\nStart-up, %d rounds, milliseconds: median (first-third quartile); smallest fixture %s\n",
                5 * runs, smallest.filename().string().c_str());
    std::printf("%-32s %20s %20s\n", "run", "wall", "cpu");
    for (const Probe& p : probes) {
      std::printf("%-32s", p.what);
      Cell(p.wall);
      Cell(p.cpu);
      std::printf("\n");
    }
  }
  fs::remove_all(dir);
  return 0;
}
