// What the controller's CPU pays per poll round, per received chunk, per host query and per
// configuration, measured against a framework that does nothing (bench/null_host). Times are
// for reading, never for asserting; the budgets are checked on instruction and allocation counts
// by scripts/budgets.sh.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/rig.h"

namespace {

void BM_PollRound(benchmark::State& state) {
  bench::Rig rig;
  for (auto _ : state) rig.Round();
}
BENCHMARK(BM_PollRound);

void BM_ProcessGroupReply(benchmark::State& state) {
  bench::Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.GroupReply());
}
BENCHMARK(BM_ProcessGroupReply);

void BM_ProcessCellChunk(benchmark::State& state) {
  bench::Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.CellChunk());
}
BENCHMARK(BM_ProcessCellChunk);

void BM_GetValueCell(benchmark::State& state) {
  bench::Rig rig;
  const std::string name = "battery_17_value";
  for (auto _ : state) benchmark::DoNotOptimize(rig.Get(name));
}
BENCHMARK(BM_GetValueCell);

void BM_GetValueGroupVoltage(benchmark::State& state) {
  bench::Rig rig;
  const std::string name = "group_voltage";
  for (auto _ : state) benchmark::DoNotOptimize(rig.Get(name));
}
BENCHMARK(BM_GetValueGroupVoltage);

void BM_GetValueUnsupported(benchmark::State& state) {
  bench::Rig rig;
  const std::string name = "cell_voltage";
  for (auto _ : state) benchmark::DoNotOptimize(rig.GetRefused(name));
}
BENCHMARK(BM_GetValueUnsupported);

void BM_InitSetting(benchmark::State& state) {
  bench::Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.Configure());
}
BENCHMARK(BM_InitSetting);

// Reference row: the same cell query answered by a regular expression built per call.
void BM_RegexPerQuery(benchmark::State& state) {
  const std::string name = "battery_17_value";
  for (auto _ : state) benchmark::DoNotOptimize(bench::RegexPerQuery(name));
}
BENCHMARK(BM_RegexPerQuery);

}  // namespace

// The devices write their diagnostic lines ("rvSize is 0", ...) to standard output; they go to
// /dev/null here, and the results to the original standard output.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::cout.flush();
  const int results_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (results_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) return 1;
  close(null_fd);
  std::ofstream results("/proc/self/fd/" + std::to_string(results_fd));
  benchmark::ConsoleReporter reporter(isatty(results_fd) ? benchmark::ConsoleReporter::OO_Defaults
                                                         : benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&results);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  results.flush();
  benchmark::Shutdown();
  return 0;
}
