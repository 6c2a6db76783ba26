// Fuzz target for the check of library files before the loader maps them.
// Any bytes, taken as a whole file: the check must never read outside them,
// and must agree with a plain bounds-checked reading of the same rules, both
// for this process's target and for the target the file itself claims (so
// that every class and byte order reaches the segment checks).  A file it
// passes has every loadable segment inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/elf_check.hpp"

namespace core = vez::core;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The rules once more, with checked access and 128-bit sums.
struct Reference {
  const std::vector<uint8_t>& f;
  bool big = false;

  unsigned __int128 get(size_t at, size_t n) const {
    unsigned __int128 v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<unsigned __int128>(f.at(at + i)) << (8 * (big ? n - 1 - i : i));
    return v;
  }

  bool loadable(const core::ElfTarget& t) {
    if (f.size() < 7 || f[0] != 0x7f || f[1] != 'E' || f[2] != 'L' || f[3] != 'F') return false;
    if ((f[4] != 1 && f[4] != 2) || (f[5] != 1 && f[5] != 2)) return false;
    if (f[4] != t.elf_class || f[5] != t.byte_order || f[6] != 1) return false;
    big = f[5] == 2;
    const bool is64 = f[4] == 2;
    if (f.size() < (is64 ? 64u : 52u)) return false;
    if (get(16, 2) != 3 || (t.machine != 0 && get(18, 2) != t.machine)) return false;
    const size_t w = is64 ? 8 : 4;
    const unsigned __int128 phoff = get(is64 ? 32 : 28, w);
    const unsigned __int128 entry = get(is64 ? 54 : 42, 2);
    const unsigned __int128 count = get(is64 ? 56 : 44, 2);
    if (count == 0 || entry != (is64 ? 56u : 32u) || phoff + entry * count > f.size()) return false;
    bool any_load = false, dynamic_seen = false;
    unsigned __int128 dyn_begin = 0, dyn_end = 0;
    std::vector<std::pair<unsigned __int128, unsigned __int128>> loads;
    for (unsigned __int128 i = 0; i < count; ++i) {
      const auto at = static_cast<size_t>(phoff + i * entry);
      const unsigned __int128 type = get(at, 4);
      const unsigned __int128 offset = get(at + (is64 ? 8 : 4), w);
      const unsigned __int128 vaddr = get(at + (is64 ? 16 : 8), w);
      const unsigned __int128 filesz = get(at + (is64 ? 32 : 16), w);
      const unsigned __int128 memsz = get(at + (is64 ? 40 : 20), w);
      if (type == 1) {
        if (offset + filesz > f.size()) return false;
        any_load = true;
        loads.push_back({vaddr, vaddr + memsz});
      } else if (type == 2 && !dynamic_seen) {
        dynamic_seen = true;
        dyn_begin = vaddr;
        dyn_end = vaddr + memsz;
      }
    }
    if (!any_load || !dynamic_seen) return false;
    for (const auto& [b, e] : loads) {
      // the checker saturates at 2^64 - 1; the same ranges then compare alike
      const unsigned __int128 cap = ~static_cast<uint64_t>(0);
      if (dyn_begin >= b && (dyn_end > cap ? cap : dyn_end) <= (e > cap ? cap : e)) return true;
    }
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that AddressSanitizer catches a read past the end.
  const std::vector<uint8_t> file(data, data + size);
  std::vector<core::ElfTarget> targets = {core::host_elf_target()};
  if (size >= 20) {
    const bool big = file[5] == 2;
    const auto machine = static_cast<uint16_t>(big ? (file[18] << 8) | file[19] : file[18] | (file[19] << 8));
    targets.push_back({file[4], file[5], machine});
  }
  for (const core::ElfTarget& target : targets) {
    const std::string problem = core::elf_image_problem(file.data(), file.size(), target);
    Reference reference{file};
    check(problem.empty() == reference.loadable(target));
    if (size == 0) check(problem == "the file is empty");
  }
  return 0;
}
