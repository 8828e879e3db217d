// HEX loading against the tools people already use: our loader (in process,
// and as `quelloader-cli image` in its own process) against
// `srec_cat FILE -Intel -o - -binary` and `objcopy -I ihex -O binary FILE OUT`
// on the same files, in the same run: generated multi-MiB HEX files and the
// assembler fixtures. Each figure is the median wall time of several runs;
// a ratio above 1 means ours is that many times faster than the faster peer.
//
// Usage: hex_load_bench [--runs N] [--cli PATH] [--fixtures DIR]

#include <fcntl.h>
#include <spawn.h>
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Wall time of one run of a program, stdout to /dev/null; negative on failure.
double RunProgram(const std::vector<std::string>& argv) {
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
  waitpid(pid, &status, 0);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

template <typename F>
double MedianOf(int runs, F&& once) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const double ms = once();
    if (ms < 0) return -1;
    t.push_back(ms);
  }
  return Median(t);
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

void Cell(double ms) {
  if (ms < 0) std::printf(" %9s", "n/a");
  else std::printf(" %9.2f", ms);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
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

  std::printf("HEX loading, median of %d runs, milliseconds (wall time)\n", runs);
  std::printf("%-28s %9s %9s %9s %9s %9s %8s %8s %5s\n", "file", "HEX KiB", "ours", "ours-cli", "srec_cat",
              "objcopy", "x(ours)", "x(cli)", "same");
  const fs::path out = dir / "out.bin";
  for (const File& f : files) {
    const std::string path = f.path.string();
    ql::FlashImage image;
    const double ours = MedianOf(runs, [&] {
      // A fresh image each run, as a new load in the window or the command line has.
      ql::FlashImage fresh;
      const auto start = Clock::now();
      const ql::LoadResult r = ql::LoadHexFile(path, f.family, fresh);
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      image = std::move(fresh);
      return r.ok() ? ms : -1.0;
    });
    const double ours_cli =
        cli.empty() ? -1
                    : MedianOf(runs, [&] {
                        return RunProgram({cli, "image", path, "--family", FamilyArg(f.family), "-o", out.string()});
                      });
    const double srec = MedianOf(runs, [&] { return RunProgram({"srec_cat", path, "-Intel", "-o", "-", "-binary"}); });
    const double objcopy =
        MedianOf(runs, [&] { return RunProgram({"objcopy", "-I", "ihex", "-O", "binary", path, out.string()}); });
    // On the generated files (from address 0, no family limit) all three
    // must give the same bytes.
    std::string same = "-";
    if (f.generated && objcopy >= 0) same = ReadFile(out) == image.bytes ? "yes" : "NO";
    const double peer = srec < 0 ? objcopy : objcopy < 0 ? srec : std::min(srec, objcopy);
    std::printf("%-28s %9.0f", f.path.filename().string().c_str(), fs::file_size(f.path) / 1024.0);
    Cell(ours);
    Cell(ours_cli);
    Cell(srec);
    Cell(objcopy);
    if (peer > 0 && ours > 0) std::printf(" %8.1f", peer / ours);
    else std::printf(" %8s", "n/a");
    if (peer > 0 && ours_cli > 0) std::printf(" %8.1f", peer / ours_cli);
    else std::printf(" %8s", "n/a");
    std::printf(" %5s\n", same.c_str());
  }
  fs::remove_all(dir);
  return 0;
}
