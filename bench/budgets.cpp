// The plug-in's cost budgets, measured and checked. Driven by scripts/budgets.sh:
//
//   ondrell_budgets loop <operation> <n>
//       runs one operation n times inside ondrell_measured_loop, for callgrind to count; the
//       script takes the difference between n and 2n iterations, so set-up and the first-call
//       costs drop out and what remains is the steady cost of one operation.
//   ondrell_budgets rss <devices>
//       configures that many devices in this process, runs one round on each and prints VmRSS.
//   ondrell_budgets report [--instructions FILE] [--lib-size BYTES] [--armel-size BYTES]
//       counts heap allocations per operation (steady state: after a first call), those of the
//       first round after new settings (the cell labels, and nothing else), heap per configured
//       device and the resident memory of 1 to 1,000 devices (one child process each), prints
//       every figure with its budget and exits 1 when one is over.
//
// Instruction counts and allocation counts are exact and repeatable; nothing here reads a clock
// to judge a result.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/rig.h"
#include "battery/local_clock.h"
#include "string_device/signal_key.h"

namespace {

enum class Op {
  kRound,
  kGroupReply,
  kCellChunk,
  kGetCell,
  kGetGroup,
  kGetUnsupported,
  kInitSetting,
  kClockNewSecond,
  kRegex,
};

struct OpInfo {
  Op op;
  const char* name;
  const char* what;
  long max_instructions;  // -1: no budget
  bool no_allocation;     // the plug-in must not allocate
};

const OpInfo kOps[] = {
    {Op::kRound, "round", "poll round: 4 requests, 4 replies, RoundDone", 10000, true},
    {Op::kGroupReply, "process_reply", "process: group-voltage reply, round goes on", -1, true},
    {Op::kCellChunk, "process_chunk", "process: 32 of 67 cell-reply bytes", -1, true},
    {Op::kGetCell, "get_cell", "Get_Value \"battery_17_value\"", 1000, true},
    {Op::kGetGroup, "get_group", "Get_Value \"group_voltage\"", -1, false},
    {Op::kGetUnsupported, "get_unsupported", "Get_Value \"cell_voltage\" (refused)", -1, false},
    {Op::kInitSetting, "init_setting", "InitSetting, typical settings", -1, false},
    // Paid once per second and thread, on top of the rows above, when the clock has moved on.
    {Op::kClockNewSecond, "clock_new_second", "local time of a new second (localtime_r)", -1, true},
    {Op::kRegex, "regex_reference", "reference: std::regex built per query", -1, false},
};

constexpr long kMaxHeapPerDevice = 4096;
constexpr long kMaxArmelStripped = 64 * 1024;
// Resident memory may grow by the heap budget plus the allocator's own bookkeeping per device.
constexpr long kMaxRssPerDevice = kMaxHeapPerDevice + 1024;

const std::string kCellName = "battery_17_value";
const std::string kGroupName = "group_voltage";
const std::string kUnsupportedName = "cell_voltage";

// Results go to the original standard output; the devices' diagnostic lines to /dev/null.
FILE* out = stdout;

void SeparateResultsFromDiagnostics() {
  std::fflush(stdout);
  const int results_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (results_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) std::exit(2);
  close(null_fd);
  out = fdopen(results_fd, "w");
  if (out == nullptr) std::exit(2);
}

long RunOnce(bench::Rig& rig, Op op) {
  switch (op) {
    case Op::kRound:
      rig.Round();
      return 1;
    case Op::kGroupReply:
      return rig.GroupReply();
    case Op::kCellChunk:
      return rig.CellChunk();
    case Op::kGetCell:
      return static_cast<long>(rig.Get(kCellName));
    case Op::kGetGroup:
      return static_cast<long>(rig.Get(kGroupName));
    case Op::kGetUnsupported:
      return static_cast<long>(rig.GetRefused(kUnsupportedName));
    case Op::kInitSetting:
      return rig.Configure();
    case Op::kClockNewSecond: {
      static std::time_t second = 1790000000;  // 2026-09-21: every call a new second
      return local_clock::ToLocal(++second).time_of_day().seconds();
    }
    case Op::kRegex:
      return bench::RegexPerQuery(kCellName) ? 1 : 0;
  }
  return 0;
}

}  // namespace

// callgrind collects only inside this function (--toggle-collect), and not inside the host
// framework's services that it reaches.
extern "C" __attribute__((noinline)) long ondrell_measured_loop(bench::Rig* rig, int op, long n) {
  long sink = 0;
  for (long i = 0; i < n; ++i) sink += RunOnce(*rig, static_cast<Op>(op));
  return sink;
}

namespace {

const OpInfo* FindOp(const std::string& name) {
  for (const OpInfo& info : kOps) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

int Loop(const std::string& name, long n) {
  const OpInfo* info = FindOp(name);
  if (info == nullptr) {
    std::fprintf(stderr, "unknown operation %s\n", name.c_str());
    return 2;
  }
  bench::Rig rig;
  RunOnce(rig, info->op);  // first call: lazy set-up of the runtime is not the operation's cost
  const long sink = ondrell_measured_loop(&rig, static_cast<int>(info->op), n);
  std::fprintf(out, "%s %ld %ld\n", info->name, n, sink);
  return 0;
}

// A host with `count` devices, each configured and through one round.
struct Fleet {
  explicit Fleet(std::size_t count) {
    devices.reserve(count);
    for (std::size_t i = 0; i < count; ++i) Add(static_cast<unsigned>(bench::kDataId + i));
  }
  void Add(unsigned data_id) {
    devices.emplace_back(new Ondrell20());
    Ondrell20& d = *devices.back();
    d.Init(controller, data_id, Json::Value(Json::nullValue));
    d.InitSetting(settings);
    d.RefreshStatus();
    d.process(cells.data(), static_cast<unsigned>(cells.size()));
    for (test::Bytes* reply : {&group, &current, &temperature}) {
      d.process(reply->data(), static_cast<unsigned>(reply->size()));
    }
  }
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  Json::Value settings = bench::TypicalSettings();
  test::Bytes cells = test::CellFrame(0x01, test::Readings(1234));
  test::Bytes group = test::ShortReply(0x01, 2468);
  test::Bytes current = test::ShortReply(0x01, 250);
  test::Bytes temperature = test::ShortReply(0x01, 2530);
  std::vector<std::unique_ptr<Ondrell20>> devices;
};

long VmRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int Rss(long count) {
  Fleet fleet(static_cast<std::size_t>(count));
  std::fprintf(out, "%ld\n", VmRssKiB());
  return 0;
}

long ChildRss(long count) {
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return -1;
  self[len] = '\0';
  const std::string command = "'" + std::string(self) + "' rss " + std::to_string(count);
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  long kib = -1;
  if (std::fscanf(child, "%ld", &kib) != 1) kib = -1;
  pclose(child);
  return kib;
}

struct Checker {
  bool all_met = true;
  const char* Verdict(bool met) {
    if (!met) all_met = false;
    return met ? "ok" : "OVER BUDGET";
  }
};

std::map<std::string, double> ReadInstructions(const char* path) {
  std::map<std::string, double> result;
  if (path == nullptr) return result;
  std::ifstream in(path);
  std::string name;
  double count = 0;
  while (in >> name >> count) result[name] = count;
  return result;
}

// Plug-in allocations of one complete round, and the change of the heap it holds.
struct RoundHeap {
  long allocations;
  long held_bytes;
};

RoundHeap CountRound(bench::Rig& rig) {
  const bench::HeapCounts before = bench::Heap();
  rig.Round();
  const bench::HeapCounts after = bench::Heap();
  return {after.plugin_allocations - before.plugin_allocations,
          after.live_bytes - before.live_bytes};
}

// Cell labels "第<n>节电池" of one numbering whose text does not fit in a std::string's own
// storage, and so needs a block of its own.
long LabelsOnTheHeap(int battery_start, int cells) {
  const std::size_t inline_capacity = std::string().capacity();
  long count = 0;
  for (int i = 0; i < cells; ++i) {
    if (signal_key::CellLabel(static_cast<long long>(battery_start) + i + 1).size() >
        inline_capacity) {
      ++count;
    }
  }
  return count;
}

// The first round after settings that renumber the cells (battery_start) builds the cell labels
// again: a block for each label too long to be held inline, nothing else; the round after it
// allocates nothing at all. A new Ondrell20 has the labels of the default numbering already.
void ReportFirstRounds(Checker& check) {
  constexpr int kCells = 20;
  std::fprintf(out, "first round after new settings (Ondrell20), plug-in allocations:\n");
  struct Step {
    const char* what;
    bool new_settings;  // InitSetting with battery_start before the round
    int battery_start;
    bool builds_labels;  // the numbering changed, so the round builds the labels again
  };
  const Step steps[] = {
      {"new device, typical settings (start 0)", false, 0, false},
      {"battery_start 0 -> 1000", true, 1000, true},
      {"same settings again", true, 1000, false},
      {"battery_start 1000 -> 5", true, 5, true},
      {"battery_start 5 -> -1000", true, -1000, true},
  };
  bench::Rig rig(false);
  for (const Step& step : steps) {
    if (step.new_settings) rig.ConfigureBatteryStart(step.battery_start);
    const long expected = step.builds_labels ? LabelsOnTheHeap(step.battery_start, kCells) : 0;
    const RoundHeap first = CountRound(rig);
    const RoundHeap next = CountRound(rig);
    char what[64];
    if (step.builds_labels) {
      std::snprintf(what, sizeof what, "%d labels built, %ld of them on the heap", kCells,
                    expected);
    } else {
      std::snprintf(what, sizeof what, step.new_settings ? "labels kept" : "labels came with it");
    }
    std::fprintf(out, "  %-40s %3ld allocs, %+5ld bytes held (%s); next round %ld  %s\n", step.what,
                 first.allocations, first.held_bytes, what, next.allocations,
                 check.Verdict(first.allocations == expected && next.allocations == 0));
  }
}

int Report(int argc, char** argv) {
  const char* instructions_file = nullptr;
  long lib_size = -1;
  long armel_size = -1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--instructions") {
      instructions_file = argv[i + 1];
    } else if (flag == "--lib-size") {
      lib_size = std::atol(argv[i + 1]);
    } else if (flag == "--armel-size") {
      armel_size = std::atol(argv[i + 1]);
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  const auto instructions = ReadInstructions(instructions_file);
  Checker check;

  std::fprintf(out, "%-46s %14s %20s %8s %6s  %s\n", "operation", "instructions", "budget",
               "allocs", "host", "verdict");
  for (const OpInfo& info : kOps) {
    bench::Rig rig;
    RunOnce(rig, info.op);
    constexpr long kCalls = 100;
    const bench::HeapCounts before = bench::Heap();
    for (long i = 0; i < kCalls; ++i) RunOnce(rig, info.op);
    const bench::HeapCounts after = bench::Heap();
    const double allocs =
        static_cast<double>(after.plugin_allocations - before.plugin_allocations) / kCalls;
    const double host =
        static_cast<double>(after.host_allocations - before.host_allocations) / kCalls;

    const auto it = instructions.find(info.name);
    const bool counted = it != instructions.end();
    bool met = true;
    if (info.max_instructions >= 0 && counted) met = it->second <= info.max_instructions;
    if (info.max_instructions >= 0 && !counted) met = false;
    if (info.no_allocation && allocs != 0.0) met = false;
    const bool has_budget = info.max_instructions >= 0 || info.no_allocation;

    char instr_text[32] = "not counted";
    if (counted) std::snprintf(instr_text, sizeof instr_text, "%.0f", it->second);
    std::string budget_text;
    if (info.max_instructions >= 0) budget_text = "<= " + std::to_string(info.max_instructions);
    if (info.no_allocation) budget_text += budget_text.empty() ? "0 allocs" : ", 0 allocs";
    if (budget_text.empty()) budget_text = "-";
    std::fprintf(out, "%-46s %14s %20s %8.2f %6.2f  %s\n", info.what, instr_text,
                 budget_text.c_str(), allocs, host, has_budget ? check.Verdict(met) : "");
  }
  const auto regex = instructions.find("regex_reference");
  const auto cell = instructions.find("get_cell");
  if (cell != instructions.end() && regex != instructions.end() && cell->second > 0) {
    std::fprintf(out, "regex reference / Get_Value cell: %.0f times the instructions\n",
                 regex->second / cell->second);
  }

  ReportFirstRounds(check);

  // Heap per configured device: one device first (the process's one-off set-up), then 100 more.
  {
    Fleet fleet(0);
    fleet.devices.reserve(101);
    const long start = bench::Heap().live_bytes;
    fleet.Add(bench::kDataId);
    const long first = bench::Heap().live_bytes - start;
    const long before = bench::Heap().live_bytes;
    for (unsigned i = 1; i <= 100; ++i) fleet.Add(bench::kDataId + i);
    const long per_device = (bench::Heap().live_bytes - before) / 100;
    std::fprintf(
        out, "heap per configured device: %ld bytes (budget <= %ld; first device %ld)  %s\n",
        per_device, kMaxHeapPerDevice, first, check.Verdict(per_device <= kMaxHeapPerDevice));
    std::fprintf(out, "device object sizeof(Ondrell20): %zu bytes\n", sizeof(Ondrell20));
  }

  // Resident memory of whole host processes with 1, 10, 100 and 1,000 devices.
  const long counts[] = {1, 10, 100, 1000};
  long rss[4];
  for (int i = 0; i < 4; ++i) {
    rss[i] = ChildRss(counts[i]);
    std::fprintf(out, "VmRSS with %4ld devices: %6ld KiB\n", counts[i], rss[i]);
  }
  const double slope = static_cast<double>(rss[3] - rss[0]) * 1024.0 / 999.0;
  const double slope_low = static_cast<double>(rss[2] - rss[1]) * 1024.0 / 90.0;
  const double slope_high = static_cast<double>(rss[3] - rss[2]) * 1024.0 / 900.0;
  std::fprintf(
      out,
      "VmRSS growth per device: %.0f bytes (10->100: %.0f, 100->1000: %.0f; "
      "budget <= %ld)  %s\n",
      slope, slope_low, slope_high, kMaxRssPerDevice,
      check.Verdict(rss[0] > 0 && slope <= kMaxRssPerDevice && slope_high <= kMaxRssPerDevice));

  if (lib_size >= 0) {
    std::fprintf(out, "stripped ondrell_20.so, x86-64: %ld bytes\n", lib_size);
  }
  if (armel_size >= 0) {
    std::fprintf(out, "stripped ondrell_20.so, armel: %ld bytes (budget <= %ld)  %s\n", armel_size,
                 kMaxArmelStripped, check.Verdict(armel_size <= kMaxArmelStripped));
  } else {
    std::fprintf(out, "stripped ondrell_20.so, armel: not built\n");
  }

  std::fprintf(out, check.all_met ? "all budgets met\n" : "BUDGETS EXCEEDED\n");
  std::fflush(out);
  return check.all_met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  SeparateResultsFromDiagnostics();
  const std::string mode = argc > 1 ? argv[1] : "";
  int status = 2;
  if (mode == "loop" && argc == 4) {
    status = Loop(argv[2], std::atol(argv[3]));
  } else if (mode == "rss" && argc == 3) {
    status = Rss(std::atol(argv[2]));
  } else if (mode == "report") {
    status = Report(argc, argv);
  } else {
    std::fprintf(stderr,
                 "usage: %s loop <operation> <n> | rss <devices> | report [--instructions FILE]"
                 " [--lib-size BYTES] [--armel-size BYTES]\n",
                 argv[0]);
  }
  std::fflush(out);
  return status;
}
