// battery-host given inputs that once took it down (an abort, a bus error, running out of memory)
// or held it forever (a named pipe nobody writes to): each must end the start with exit 2 and one
// line on standard error that names the file, before any port is opened or simulator started,
// and with the record cache as it was.

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/battery_host/host_safety_support.h"

namespace {

using host_run::ReadFile;
using host_safety::Pty;
using host_safety::ScratchDir;
using host_safety::WriteFile;

std::string Repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// 152 bytes that no run of the host writes: a cache that must come out as it went in.
std::string KnownCache() {
  std::string bytes(152, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5 ^ (i * 7));
  return bytes;
}

// Watches a pseudo-terminal's slave for being opened by anyone but the test.
class WatchedPort {
 public:
  WatchedPort() : watch_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(watch_, pty_.slave_path.c_str(), IN_OPEN), 0)
        << std::strerror(errno);
  }
  ~WatchedPort() { close(watch_); }
  const std::string& path() const { return pty_.slave_path; }
  bool Opened() {
    char buf[4096];
    return read(watch_, buf, sizeof buf) > 0;
  }

 private:
  Pty pty_;
  int watch_;
};

class BadInput : public ::testing::Test {
 protected:
  // In SetUp, not SetUpTestSuite: a failure there would only skip the tests.
  void SetUp() override {
    host_safety::BecomeSubreaper();
    WriteFile(cache_, KnownCache());
  }

  // The host refuses `args` with exactly `line` (and its newline) on standard error, nothing on
  // standard output, exit 2; no child of it is left, the watched port was never opened and the
  // cache holds what it held.
  void ExpectRefusedOnce(const std::vector<std::string>& args, const std::string& line,
                         WatchedPort* port) {
    const host_run::Result r = host_safety::RunBounded(args, out_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, line + "\n");
    EXPECT_EQ(r.out, "");
    std::string child;
    EXPECT_TRUE(host_safety::NoChildLeft(&child)) << child;
    if (port != nullptr) {
      EXPECT_FALSE(port->Opened()) << "the host opened " << port->path();
    }
    EXPECT_EQ(ReadFile(cache_), KnownCache());
  }

  // One device: once on the simulator (a started simulator would be left as a child), once on a
  // watched port.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& line) {
    {
      SCOPED_TRACE("on the simulator");
      ExpectRefusedOnce(args, line, nullptr);
    }
    SCOPED_TRACE("on a port");
    WatchedPort port;
    std::vector<std::string> on_port = args;
    on_port.insert(on_port.end(), {"--port", port.path()});
    ExpectRefusedOnce(on_port, line, &port);
  }

  std::vector<std::string> WithCache(std::vector<std::string> args) const {
    args.insert(args.end(), {"--cache", cache_, "--interval-ms", "100"});
    return args;
  }

  std::string File(const std::string& name) const { return files_.File(name); }
  const std::string& cache() const { return cache_; }

 private:
  ScratchDir out_;
  ScratchDir files_;
  std::string cache_ = files_.File("known.cache");
};

// The instruments themselves: a host that gets as far as its ports does open the watched one,
// and a host killed while its simulator runs leaves that simulator to the test.
TEST_F(BadInput, TheChecksSeeWhatTheyLookFor) {
  {
    WatchedPort port;
    ScratchDir out;
    const host_run::Result r =
        host_safety::RunBounded({"--port", port.path(), "--duration", "0.2"}, out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(port.Opened());
  }
  ScratchDir out;
  const std::string events = out.File("events.jsonl");
  const int pid = host_safety::SpawnHost({"--interval-ms", "100", "--events", events}, out);
  const int exit_fd = host_safety::PidFd(pid);
  ASSERT_TRUE(host_safety::WaitForFile(events, exit_fd, [](const std::string& text) {
    return text.find("\"event\":\"history\"") != std::string::npos;
  }));
  close(exit_fd);
  kill(pid, SIGKILL);
  const host_run::Result r = host_safety::WaitBounded(pid, out);
  EXPECT_EQ(r.exit_code, 128 + SIGKILL);
  std::string child;
  EXPECT_FALSE(host_safety::NoChildLeft(&child));
  EXPECT_FALSE(child.empty());
  EXPECT_TRUE(host_safety::NoChildLeft(&child)) << child;  // and it was collected
}

// --- Settings nested beyond any use
// ---------------------------------------------------------------

TEST_F(BadInput, SettingsNestedAHundredThousandLevelsDeep) {
  // Arrays: '{' at column 1 is level 1, the '[' at column 5 + k is level k + 1, so level 65,
  // the first one beyond the limit, stands at column 69.
  const std::string arrays = File("arrays.json");
  WriteFile(arrays, "{\"a\":" + Repeat("[", 100000) + Repeat("]", 100000) + "}");
  ExpectRefused(WithCache({"--settings", arrays}),
                "battery-host: invalid settings " + arrays +
                    ": Line 1, Column 69: nested deeper than 64 levels");

  // Objects: each level is the five characters {"a": so level 65 starts at column 64 * 5 + 1.
  const std::string objects = File("objects.json");
  WriteFile(objects, Repeat("{\"a\":", 100000) + "1" + Repeat("}", 100000));
  ExpectRefused(WithCache({"--settings", objects}),
                "battery-host: invalid settings " + objects +
                    ": Line 1, Column 321: nested deeper than 64 levels");

  // One level a line: level 65 opens line 65.
  const std::string lines = File("lines.json");
  WriteFile(lines, "{\"a\":\n" + Repeat("[\n", 100000) + Repeat("]", 100000) + "}\n");
  ExpectRefused(WithCache({"--settings", lines}),
                "battery-host: invalid settings " + lines +
                    ": Line 65, Column 1: nested deeper than 64 levels");
}

// --- Settings that are no file, or too big a one ------------------------------------------------

TEST_F(BadInput, SettingsThatNeverEndOrAreHuge) {
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    SCOPED_TRACE(device);
    ExpectRefused(WithCache({"--settings", device}),
                  std::string("battery-host: settings ") + device +
                      " is a character device, not a regular file");
  }
  // 8 GiB and one byte past the 4 MiB limit, both sparse: nothing of them is on the disk.
  // (truncate64: a 32-bit off_t cannot say 8 GiB.)
  for (const off64_t size : {off64_t{8} << 30, (off64_t{4} << 20) + 1}) {
    SCOPED_TRACE(size);
    const std::string huge = File("huge.json");
    WriteFile(huge, "{");
    ASSERT_EQ(truncate64(huge.c_str(), size), 0) << std::strerror(errno);
    ExpectRefused(WithCache({"--settings", huge}),
                  "battery-host: settings " + huge + " is too big (at most 4 MiB)");
  }
}

// --- Numbers beyond what they are read into -----------------------------------------------------

TEST_F(BadInput, SettingsAddressOutOfRange) {
  for (const char* address :
       {"-1", "256", "5000000000", "18446744073709551615", "129.5", "\"129\""}) {
    SCOPED_TRACE(address);
    const std::string settings = File("address.json");
    WriteFile(settings, std::string("{\"address\": ") + address + ", \"appSetting\": {}}");
    ExpectRefused(WithCache({"--settings", settings}),
                  "battery-host: invalid settings " + settings +
                      ": \"address\" must be a whole number 0..255, not " + address);
  }
}

TEST_F(BadInput, HostThresholdLevelOutOfRange) {
  // {"hostThresholds": {"temperature": {"level": X}}}: X starts at column 46.
  for (const char* level :
       {"2147483648.0", "2147483648", "3000000000", "18446744073709551615", "0", "-5", "1.5"}) {
    SCOPED_TRACE(level);
    const std::string settings = File("level.json");
    WriteFile(settings,
              std::string("{\"hostThresholds\": {\"temperature\": {\"level\": ") + level + "}}}");
    ExpectRefused(WithCache({"--settings", settings}),
                  "battery-host: invalid settings " + settings +
                      ": Line 1, Column 46: hostThresholds.temperature.level must be a whole "
                      "number 1 to 2147483647");
  }
  // A limit a float cannot hold, in the same place.
  const std::string settings = File("high.json");
  WriteFile(settings, "{\"hostThresholds\": {\"temperature\": {\"high\": 1e39}}}");
  ExpectRefused(WithCache({"--settings", settings}),
                "battery-host: invalid settings " + settings +
                    ": Line 1, Column 45: hostThresholds.temperature.high must be a number "
                    "(single-precision range)");
}

// --- Named pipes with a writer that never writes -------------------------------------------------

// A FIFO held open for writing (and reading, so that opening it never waits) by the test.
struct HeldFifo {
  explicit HeldFifo(const std::string& p) : path(p) {
    EXPECT_EQ(mkfifo(path.c_str(), 0644), 0) << std::strerror(errno);
    fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << std::strerror(errno);
  }
  ~HeldFifo() { close(fd); }
  // Still a FIFO, and nobody wrote into it.
  void ExpectUntouched() const {
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    char c;
    EXPECT_EQ(read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
  }
  std::string path;
  int fd = -1;
};

TEST_F(BadInput, SettingsOrCacheThatIsANamedPipe) {
  HeldFifo fifo(File("pipe"));
  ExpectRefused(WithCache({"--settings", fifo.path}),
                "battery-host: settings " + fifo.path + " is a named pipe, not a regular file");
  fifo.ExpectUntouched();
  ExpectRefused({"--cache", fifo.path, "--interval-ms", "100"},
                "battery-host: cache " + fifo.path + " is a named pipe, not a regular file");
  fifo.ExpectUntouched();
  // Behind a link the pipe is found all the same.
  const std::string link = File("cache.link");
  ASSERT_EQ(symlink(fifo.path.c_str(), link.c_str()), 0);
  ExpectRefused({"--cache", link, "--interval-ms", "100"},
                "battery-host: cache " + link + " links to " + fifo.path +
                    ", which is a named pipe, not a regular file");
  fifo.ExpectUntouched();
}

// --- The plug-in file
// -----------------------------------------------------------------------------

std::string BuiltPlugin() { return BATTERY_HOST_PLUGIN; }

// The built plug-in cut in the middle of its last loaded segment: mapping it would give a bus
// error when the missing pages were touched. The refusal names the first segment (in program
// header order) that reaches past the cut.
TEST_F(BadInput, TruncatedPlugin) {
  const std::string whole = ReadFile(BuiltPlugin());
  ASSERT_GE(whole.size(), sizeof(ElfW(Ehdr)));
  ElfW(Ehdr) eh;
  std::memcpy(&eh, whole.data(), sizeof eh);
  std::vector<ElfW(Phdr)> ph(eh.e_phnum);
  ASSERT_LE(eh.e_phoff + ph.size() * sizeof(ElfW(Phdr)), whole.size());
  std::memcpy(ph.data(), whole.data() + eh.e_phoff, ph.size() * sizeof(ElfW(Phdr)));
  const ElfW(Phdr)* last = nullptr;
  for (const auto& p : ph) {
    if (p.p_type == PT_LOAD) last = &p;
  }
  ASSERT_NE(last, nullptr);
  const std::size_t cut = last->p_offset + last->p_filesz / 2;
  unsigned long long first_past = 0;
  for (const auto& p : ph) {
    if ((p.p_type == PT_LOAD || p.p_type == PT_DYNAMIC) && p.p_offset + p.p_filesz > cut) {
      first_past = p.p_offset + p.p_filesz;
      break;
    }
  }
  const std::string cut_so = File("cut.so");
  WriteFile(cut_so, whole.substr(0, cut));
  ExpectRefused(WithCache({"--plugin", cut_so}), "battery-host: cannot load plug-in " + cut_so +
                                                     ": cut short: a segment ends at byte " +
                                                     std::to_string(first_past) +
                                                     ", the file has " + std::to_string(cut));

  // Cut inside the program headers, and inside the ELF header.
  const std::size_t headers_end = eh.e_phoff + ph.size() * sizeof(ElfW(Phdr));
  WriteFile(cut_so, whole.substr(0, headers_end - 1));
  ExpectRefused(WithCache({"--plugin", cut_so}),
                "battery-host: cannot load plug-in " + cut_so +
                    ": cut short: its program headers end at byte " + std::to_string(headers_end) +
                    ", the file has " + std::to_string(headers_end - 1));
  WriteFile(cut_so, whole.substr(0, 20));
  ExpectRefused(WithCache({"--plugin", cut_so}),
                "battery-host: cannot load plug-in " + cut_so +
                    ": not an ELF file (20 bytes, shorter than an ELF header)");
}

#if defined(__x86_64__)
constexpr unsigned kOwnMachine = EM_X86_64;
constexpr unsigned kOtherMachine = EM_ARM;
#elif defined(__arm__)
constexpr unsigned kOwnMachine = EM_ARM;
constexpr unsigned kOtherMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kOwnMachine = EM_AARCH64;
constexpr unsigned kOtherMachine = EM_ARM;
#elif defined(__i386__)
constexpr unsigned kOwnMachine = EM_386;
constexpr unsigned kOtherMachine = EM_ARM;
#endif
constexpr bool k64 = sizeof(void*) == 8;

// An ELF header of this machine's own kind, a shared object, with one program header slot; the
// cases change one field of it.
std::string ElfHeader(const std::function<void(ElfW(Ehdr) &)>& change) {
  ElfW(Ehdr) eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = k64 ? ELFCLASS64 : ELFCLASS32;
  eh.e_ident[EI_DATA] = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_DYN;
  eh.e_machine = kOwnMachine;
  eh.e_version = EV_CURRENT;
  eh.e_phoff = sizeof eh;
  eh.e_ehsize = sizeof eh;
  eh.e_phentsize = sizeof(ElfW(Phdr));
  eh.e_phnum = 1;
  change(eh);
  std::string bytes(sizeof eh + sizeof(ElfW(Phdr)), '\0');
  std::memcpy(&bytes[0], &eh, sizeof eh);
  return bytes;
}

TEST_F(BadInput, PluginOfAnotherKindIsRefusedBeforeLoading) {
  const struct {
    const char* name;
    std::function<void(ElfW(Ehdr)&)> change;
    std::string why;
  } cases[] = {
      {"other class", [](ElfW(Ehdr) & e) { e.e_ident[EI_CLASS] = k64 ? ELFCLASS32 : ELFCLASS64; },
       k64 ? "a 32-bit ELF file; this host needs 64-bit"
           : "a 64-bit ELF file; this host needs 32-bit"},
      {"other machine", [](ElfW(Ehdr) & e) { e.e_machine = kOtherMachine; },
       "built for another machine (ELF machine " + std::to_string(kOtherMachine) +
           ", this host is " + std::to_string(kOwnMachine) + ")"},
      {"other byte order",
       [](ElfW(Ehdr) & e) {
         e.e_ident[EI_DATA] = e.e_ident[EI_DATA] == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB;
       },
       "an ELF file of the other byte order"},
      {"a program", [](ElfW(Ehdr) & e) { e.e_type = ET_EXEC; }, "not a shared object"},
      {"an object file", [](ElfW(Ehdr) & e) { e.e_type = ET_REL; }, "not a shared object"},
      {"no program headers", [](ElfW(Ehdr) & e) { e.e_phnum = 0; }, "no usable program headers"},
      {"not ELF", [](ElfW(Ehdr) & e) { e.e_ident[1] = 'X'; }, "not an ELF file"},
  };
  const std::string plugin = File("plugin.so");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(plugin, ElfHeader(c.change));
    ExpectRefused(WithCache({"--plugin", plugin}),
                  "battery-host: cannot load plug-in " + plugin + ": " + c.why);
  }
  // A directory, and a named pipe, where the plug-in should be.
  ExpectRefused(WithCache({"--plugin", File("")}),
                "battery-host: cannot load plug-in " + File("") + ": it is a directory");
  HeldFifo fifo(File("plugin.pipe"));
  ExpectRefused(WithCache({"--plugin", fifo.path}),
                "battery-host: cannot load plug-in " + fifo.path + ": it is a named pipe");
  fifo.ExpectUntouched();
}

// A program copied in as the plug-in: refused before dlopen with one line naming it (a program of
// this machine asks for an interpreter; under the emulator /bin/true is of another kind).
TEST_F(BadInput, ProgramAsPlugin) {
  const std::string plugin = File("true.so");
  WriteFile(plugin, ReadFile("/bin/true"));
  const std::vector<std::string> args = WithCache({"--plugin", plugin});
  const host_run::Result r = host_safety::RunBounded(args, ScratchDir());
  EXPECT_EQ(r.exit_code, 2);
  const std::string start = "battery-host: cannot load plug-in " + plugin + ": ";
  EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
  EXPECT_EQ(host_safety::Lines(r.err).size(), 1u) << r.err;
  // Under the emulator the build machine's /bin/true is of another class or machine.
  EXPECT_TRUE(r.err == start + "a program, not a shared library\n" ||
              r.err == start + "a 64-bit ELF file; this host needs 32-bit\n" ||
              r.err.find(": built for another machine (ELF machine ") != std::string::npos)
      << r.err;
  std::string child;
  EXPECT_TRUE(host_safety::NoChildLeft(&child)) << child;
  EXPECT_EQ(ReadFile(cache()), KnownCache());
}

// --- The site file
// --------------------------------------------------------------------------------

// A site of two lines: the simulator (device 1) and a watched port (device 2, with the cache).
std::string Site(const std::string& port, const std::string& cache,
                 const std::string& device_extra = "", const std::string& site_extra = "") {
  return "{\"lines\": [\n"
         "  {\"port\": \"sim\", \"interval_ms\": 100, \"devices\": [\n"
         "    {\"data_id\": 1, \"address\": 129, \"settings\": {\"appSetting\": {}}}]},\n"
         "  {\"port\": \"" +
         port +
         "\", \"interval_ms\": 100, \"devices\": [\n"
         "    {\"data_id\": 2, \"address\": 129, \"cache\": \"" +
         cache +
         "\",\n"
         "     \"settings\": {\"appSetting\": {}}" +
         device_extra + "}]}]" + site_extra + "}\n";
}

TEST_F(BadInput, SiteFiles) {
  const std::string site = File("site.json");
  struct Case {
    const char* name;
    std::string device_extra;
    std::string site_extra;
    std::string why;  // after "invalid site file F: "
  };
  // Line 6 is the second device's; its extra members start after the settings, at column 36;
  // a refusal points at the value it refuses.
  const Case cases[] = {
      {"unknown key of the site", "", ", \"line\": []",
       "Line 6, Column 50: the site: unknown key \"line\" (known: lines, mqtt_site)"},
      {"unknown key of a device", ", \"adress\": 1", "",
       "Line 6, Column 48: lines[1].devices[0]: unknown key \"adress\" (known: data_id, address, "
       "settings, hostThresholds, cache, name, sim)"},
      {"nested", ", \"name\": " + Repeat("[", 70) + Repeat("]", 70), "",
       // The device object is level 5 (site, lines, line, devices, device), so the 60th '['
       // after "name" is level 65.
       "Line 6, Column " + std::to_string(45 + 60) + ": nested deeper than 64 levels"},
      {"deeply nested", ", \"name\": " + Repeat("{\"a\":", 100000) + "1" + Repeat("}", 100000), "",
       "Line 6, Column " + std::to_string(45 + 59 * 5 + 1) + ": nested deeper than 64 levels"},
      {"threshold level", ", \"hostThresholds\": {\"temperature\": {\"level\": 3000000000}}", "",
       "Line 6, Column 82: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      // An alarm key that is no signal of the device would never alarm.
      {"misspelt alarm key", ", \"hostThresholds\": {\"temprature\": {\"high\": 20}}", "",
       "Line 6, Column 71: hostThresholds: unknown key \"temprature\"; the closest signal key "
       "is \"temperature\""},
      {"alarm key of a cell the device does not have",
       ", \"hostThresholds\": {\"battery_25_value\": {\"high\": 14}}", "",
       "Line 6, Column 77: hostThresholds: unknown key \"battery_25_value\" (the device has 20 "
       "cells, battery_0_value to battery_19_value); the closest signal key is "
       "\"battery_19_value\""},
  };
  WatchedPort port;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(site, Site(port.path(), cache(), c.device_extra, c.site_extra));
    ExpectRefusedOnce({"--site", site}, "battery-host: invalid site file " + site + ": " + c.why,
                      &port);
  }
  // A site address beyond a byte, read where the site names it.
  std::string text = Site(port.path(), cache());
  const std::size_t at = text.rfind("\"address\": 129");
  text.replace(at, 14, "\"address\": 5000000000");
  WriteFile(site, text);
  ExpectRefusedOnce({"--site", site},
                    "battery-host: invalid site file " + site +
                        ": Line 5, Column 31: lines[1].devices[0].address must be a whole number 0 "
                        "to 255",
                    &port);

  // The site file, or the settings it names, as a named pipe with a silent writer.
  HeldFifo fifo(File("site.pipe"));
  ExpectRefusedOnce({"--site", fifo.path},
                    "battery-host: site file " + fifo.path + " is a named pipe, not a regular file",
                    &port);
  fifo.ExpectUntouched();
  text = Site(port.path(), cache());
  const std::size_t settings = text.rfind("{\"appSetting\": {}}");
  text.replace(settings, 18, "\"" + fifo.path + "\"");
  WriteFile(site, text);
  ExpectRefusedOnce({"--site", site},
                    "battery-host: settings " + fifo.path + " is a named pipe, not a regular file",
                    &port);
  fifo.ExpectUntouched();
}

// JSON lets a key or a file name hold a raw line break (or any control character); quoted in a
// refusal it must not break the one line apart.
TEST_F(BadInput, ControlCharactersInARefusalAreEscaped) {
  WatchedPort port;
  const std::string site = File("site.json");
  WriteFile(site, Site(port.path(), cache(), "", ", \"a\nb\x01\": 1"));
  ExpectRefusedOnce(
      {"--site", site},
      "battery-host: invalid site file " + site +
          ": Line 7, Column 6: the site: unknown key \"a\\nb\\x01\" (known: lines, mqtt_site)",
      &port);
  std::string text = Site(port.path(), cache());
  text.replace(text.rfind("{\"appSetting\": {}}"), 18, "\"new\nline.json\"");
  WriteFile(site, text);
  ExpectRefusedOnce({"--site", site},
                    "battery-host: cannot read settings " + File("new\\nline.json") +
                        ": No such file or directory",
                    &port);
}

// --- An MQTT URL that does not parse
// ---------------------------------------------------------------

TEST_F(BadInput, MqttUrlThatDoesNotParse) {
#ifdef BATTERY_HOST_HAS_MQTT
  const std::string line =
      "battery-host: --mqtt 'nonsense://x': the URL must start with mqtt:// or mqtts://";
#else
  const std::string line =
      "battery-host: --mqtt: this build of battery-host has no MQTT (no libmosquitto)";
#endif
  ExpectRefused(WithCache({"--mqtt", "nonsense://x"}), line);
}

}  // namespace
