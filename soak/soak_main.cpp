// The soak as a program: `soak_run [rounds] [seed]` (defaults 100000 and 1). Prints the figures
// and exits 1 when any history record, reply or round did not match the ledger.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "soak/soak.h"

int main(int argc, char** argv) {
  const std::uint64_t rounds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

  // The devices write diagnostic lines for every frame; the figures go to the original stdout.
  std::FILE* out = fdopen(dup(fileno(stdout)), "w");
  if (out == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 2;

  soak::Soak run(soak::DefaultStations(), soak::RealisticFaults(), seed);
  const soak::Report& r = run.Run(rounds);

  std::fprintf(out, "soak: seed %" PRIu64 ", 4 devices, %" PRIu64 " poll ticks\n", seed, r.ticks);
  std::fprintf(out, "rounds started    %" PRIu64 "\n", r.rounds_started);
  std::fprintf(out, "rounds completed  %" PRIu64 " (per device:", r.rounds_completed);
  for (std::uint64_t c : r.completed_per_device) std::fprintf(out, " %" PRIu64, c);
  std::fprintf(out, ")\n");
  std::fprintf(out, "rounds abandoned  %" PRIu64 "\n", r.rounds_abandoned);
  for (const auto& [cause, count] : r.abandoned_by_cause) {
    std::fprintf(out, "  %-40s %" PRIu64 "\n", cause.c_str(), count);
  }
  std::fprintf(out, "rounds open at end %" PRIu64 "\n", r.rounds_open_at_end);
  std::fprintf(out, "replies           %" PRIu64 " (clean %" PRIu64 ")\n", r.replies,
               r.replies_clean);
  std::fprintf(out, "taken             clean %" PRIu64 ", with a harmless fault %" PRIu64 "\n",
               r.clean_replies_taken, r.faulty_replies_taken);
  std::fprintf(out, "history records   %" PRIu64 " checked against the replies\n",
               r.history_records_checked);
  std::fprintf(out, "mismatches        %" PRIu64 "\n", r.mismatches);
  for (const std::string& m : r.first_mismatches) std::fprintf(out, "  %s\n", m.c_str());
  std::fclose(out);
  return r.mismatches == 0 && r.rounds_completed > 0 ? 0 : 1;
}
