// Runs a program under a seccomp filter equivalent to the unit's: only the system calls named on
// standard input (one a line: the unit's SystemCallFilter expanded by scripts/check-seccomp) and,
// as MemoryDenyWriteExecute, no mapping both writable and executable and no mprotect adding
// execution. Any other call kills the process (the unit answers EPERM; killing makes a missing
// call impossible to overlook). Built without libseccomp's header: the few declarations below
// are its stable C interface. Started as root, it first becomes the user and group given as
// "UID:GID" in SECCOMP_RUN_USER, as the unit's User= and Group= do (SQLite, for one, changes the
// owner of its journal only when it runs as root).
// Usage: [SECCOMP_RUN_USER=UID:GID] seccomp-run PROGRAM [ARG...] < SYSCALLS
#include <grp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

extern "C" {
typedef void* scmp_filter_ctx;
typedef uint64_t scmp_datum_t;
enum scmp_compare { SCMP_CMP_MASKED_EQ = 7 };
struct scmp_arg_cmp {
  unsigned int arg;
  enum scmp_compare op;
  scmp_datum_t datum_a;
  scmp_datum_t datum_b;
};
scmp_filter_ctx seccomp_init(uint32_t def_action);
int seccomp_rule_add(scmp_filter_ctx ctx, uint32_t action, int syscall, unsigned int arg_cnt, ...);
int seccomp_syscall_resolve_name(const char* name);
int seccomp_load(scmp_filter_ctx ctx);
}

namespace {

constexpr uint32_t kAllow = 0x7fff0000U;
constexpr uint32_t kKillProcess = 0x80000000U;

bool allow_when(scmp_filter_ctx ctx, const char* name, unsigned arg, uint64_t mask, uint64_t is) {
  const int nr = seccomp_syscall_resolve_name(name);
  return nr < 0 ||
         seccomp_rule_add(ctx, kAllow, nr, 1, scmp_arg_cmp{arg, SCMP_CMP_MASKED_EQ, mask, is}) == 0;
}

}  // namespace

bool become_user() {
  const char* user = std::getenv("SECCOMP_RUN_USER");
  if (!user) return true;
  char* end = nullptr;
  const unsigned long uid = std::strtoul(user, &end, 10);
  if (*end != ':') return false;
  const unsigned long gid = std::strtoul(end + 1, nullptr, 10);
  return setgroups(0, nullptr) == 0 && setgid(static_cast<gid_t>(gid)) == 0 &&
         setuid(static_cast<uid_t>(uid)) == 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: seccomp-run PROGRAM [ARG...] < SYSCALLS\n"), 2;
  if (!become_user()) return std::perror("seccomp-run: SECCOMP_RUN_USER"), 1;
  scmp_filter_ctx ctx = seccomp_init(kKillProcess);
  if (!ctx) return std::fprintf(stderr, "seccomp-run: seccomp_init failed\n"), 1;
  const std::string guarded[] = {"mmap", "mmap2", "mprotect", "pkey_mprotect"};
  std::string name;
  size_t allowed = 0;
  while (std::getline(std::cin, name)) {
    if (name.empty() || name[0] == '#') continue;
    bool skip = false;
    for (const auto& g : guarded) skip |= name == g;
    const int nr = seccomp_syscall_resolve_name(name.c_str());
    if (skip || nr < 0) continue;  // not on this architecture
    if (seccomp_rule_add(ctx, kAllow, nr, 0) != 0)
      return std::fprintf(stderr, "seccomp-run: cannot allow %s\n", name.c_str()), 1;
    ++allowed;
  }
  const uint64_t wx = PROT_WRITE | PROT_EXEC;
  bool ok = true;
  for (const char* m : {"mmap", "mmap2"})
    for (uint64_t is : {uint64_t(0), uint64_t(PROT_WRITE), uint64_t(PROT_EXEC)})
      ok = allow_when(ctx, m, 2, wx, is) && ok;
  for (const char* m : {"mprotect", "pkey_mprotect"})
    ok = allow_when(ctx, m, 2, PROT_EXEC, 0) && ok;
  if (!ok) return std::fprintf(stderr, "seccomp-run: cannot add the memory rules\n"), 1;
  if (seccomp_load(ctx) != 0) return std::fprintf(stderr, "seccomp-run: seccomp_load failed\n"), 1;
  std::fprintf(stderr, "seccomp-run: %zu system calls allowed\n", allowed);
  execv(argv[1], argv + 1);
  std::perror("seccomp-run: exec");
  return 127;
}
