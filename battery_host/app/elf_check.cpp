#include "battery_host/app/elf_check.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "battery_host/support/input_file.h"

namespace app {

namespace {

// The ELF flavour of the machine this host is built for.
#if defined(__LP64__)
constexpr unsigned char kClass = ELFCLASS64;
using Ehdr = Elf64_Ehdr;
using Phdr = Elf64_Phdr;
#else
constexpr unsigned char kClass = ELFCLASS32;
using Ehdr = Elf32_Ehdr;
using Phdr = Elf32_Phdr;
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kData = ELFDATA2LSB;
#else
constexpr unsigned char kData = ELFDATA2MSB;
#endif
#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
#elif defined(__i386__)
constexpr unsigned kMachine = EM_386;
#elif defined(__aarch64__)
constexpr unsigned kMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr unsigned kMachine = EM_ARM;
#else
#error "unknown machine: name its ELF e_machine here"
#endif

const char* ClassName(unsigned char c) {
  return c == ELFCLASS32 ? "32-bit" : c == ELFCLASS64 ? "64-bit" : "unknown-class";
}

bool ReadAt(int fd, off_t offset, void* out, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n =
        pread(fd, static_cast<char*>(out) + done, len - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool CheckSharedObject(const std::string& path, std::string* error) {
  const std::string name = "plug-in " + path;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot load " + name + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& why) {
    *error = "cannot load " + name + ": " + why;
    close(fd);
    return false;
  };
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("it is " + support::KindOfNonRegular(st.st_mode));
  const unsigned long long size = static_cast<unsigned long long>(st.st_size);

  Ehdr eh{};
  if (size < sizeof eh || !ReadAt(fd, 0, &eh, sizeof eh)) {
    return fail("not an ELF file (" + std::to_string(size) + " bytes, shorter than an ELF header)");
  }
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return fail("not an ELF file");
  if (eh.e_ident[EI_CLASS] != kClass) {
    return fail(std::string("a ") + ClassName(eh.e_ident[EI_CLASS]) +
                " ELF file; this host needs " + ClassName(kClass));
  }
  if (eh.e_ident[EI_DATA] != kData) return fail("an ELF file of the other byte order");
  if (eh.e_machine != kMachine) {
    return fail("built for another machine (ELF machine " + std::to_string(eh.e_machine) +
                ", this host is " + std::to_string(kMachine) + ")");
  }
  if (eh.e_type != ET_DYN) return fail("not a shared object");
  if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0) {
    return fail("no usable program headers");
  }
  const unsigned long long ph_end = static_cast<unsigned long long>(eh.e_phoff) +
                                    static_cast<unsigned long long>(eh.e_phnum) * sizeof(Phdr);
  if (eh.e_phoff == 0 || ph_end > size) {
    return fail("cut short: its program headers end at byte " + std::to_string(ph_end) +
                ", the file has " + std::to_string(size));
  }
  std::vector<Phdr> ph(eh.e_phnum);
  if (!ReadAt(fd, static_cast<off_t>(eh.e_phoff), ph.data(), ph.size() * sizeof(Phdr))) {
    return fail("cannot read its program headers");
  }
  for (const Phdr& p : ph) {
    // A position-independent program is ET_DYN too; only a program asks for an interpreter.
    if (p.p_type == PT_INTERP) return fail("a program, not a shared library");
    if (p.p_type != PT_LOAD && p.p_type != PT_DYNAMIC) continue;
    const unsigned long long end = static_cast<unsigned long long>(p.p_offset) + p.p_filesz;
    if (end < p.p_offset || end > size) {
      return fail("cut short: a segment ends at byte " + std::to_string(end) + ", the file has " +
                  std::to_string(size));
    }
  }
  close(fd);
  return true;
}

}  // namespace app
