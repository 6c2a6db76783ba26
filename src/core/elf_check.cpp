#include "core/elf_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace vez::core {

namespace {

constexpr uint8_t kClass32 = 1;
constexpr uint8_t kClass64 = 2;
constexpr uint8_t kLittleEndian = 1;
constexpr uint8_t kBigEndian = 2;
constexpr uint16_t kTypeSharedObject = 3;  // ET_DYN
constexpr uint32_t kSegmentLoad = 1;       // PT_LOAD
constexpr uint32_t kSegmentDynamic = 2;    // PT_DYNAMIC

// Field positions of the ELF header and of one program header, by class.
struct ClassLayout {
  size_t header_size;
  size_t type, machine, version, phoff, phentsize, phnum;
  size_t address_size;  // 4 or 8
  size_t entry_size;    // sizeof(Elf32_Phdr) or sizeof(Elf64_Phdr)
  size_t p_type, p_offset, p_vaddr, p_filesz, p_memsz;
};

constexpr ClassLayout kLayout32 = {52, 16, 18, 20, 28, 42, 44, 4, 32, 0, 4, 8, 16, 20};
constexpr ClassLayout kLayout64 = {64, 16, 18, 20, 32, 54, 56, 8, 56, 0, 8, 16, 32, 40};

const ClassLayout& layout_of(uint8_t elf_class) { return elf_class == kClass32 ? kLayout32 : kLayout64; }

uint64_t read_unsigned(const uint8_t* p, size_t size, uint8_t byte_order) {
  uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) {
    const size_t shift = byte_order == kLittleEndian ? i : size - 1 - i;
    v |= static_cast<uint64_t>(p[i]) << (8 * shift);
  }
  return v;
}

// a + b, saturating at the largest value (offsets past any file).
uint64_t sum(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

std::string class_words(uint8_t elf_class) { return elf_class == kClass32 ? "32-bit" : "64-bit"; }

std::string order_words(uint8_t order) { return order == kLittleEndian ? "little-endian" : "big-endian"; }

std::string type_words(uint64_t type) {
  switch (type) {
    case 1: return "a relocatable object file";
    case 2: return "an executable";
    case 4: return "a core dump";
    default: return "ELF type " + std::to_string(type);
  }
}

}  // namespace

ElfTarget host_elf_target() {
  ElfTarget t{};
  t.elf_class = sizeof(void*) == 8 ? kClass64 : kClass32;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  t.byte_order = kBigEndian;
#else
  t.byte_order = kLittleEndian;
#endif
#if defined(__x86_64__)
  t.machine = 62;
#elif defined(__i386__)
  t.machine = 3;
#elif defined(__aarch64__)
  t.machine = 183;
#elif defined(__arm__)
  t.machine = 40;
#elif defined(__riscv)
  t.machine = 243;
#elif defined(__powerpc64__)
  t.machine = 21;
#elif defined(__powerpc__)
  t.machine = 20;
#elif defined(__s390__)
  t.machine = 22;
#elif defined(__loongarch__)
  t.machine = 258;
#elif defined(__mips__)
  t.machine = 8;
#else
  t.machine = 0;  // unknown here: any machine passes
#endif
  return t;
}

std::string elf_machine_name(uint16_t machine) {
  switch (machine) {
    case 3: return "x86 (32-bit)";
    case 8: return "MIPS";
    case 20: return "PowerPC";
    case 21: return "PowerPC64";
    case 22: return "S/390";
    case 40: return "ARM";
    case 62: return "x86-64";
    case 183: return "AArch64";
    case 243: return "RISC-V";
    case 258: return "LoongArch";
    default: return "machine " + std::to_string(machine);
  }
}

std::string elf_header_problem(const uint8_t* head, size_t head_size, uint64_t file_size, const ElfTarget& target,
                               ElfLayout* layout) {
  const uint64_t available = head_size < file_size ? head_size : file_size;
  if (file_size == 0) return "the file is empty";
  if (available < 4 || head[0] != 0x7f || head[1] != 'E' || head[2] != 'L' || head[3] != 'F') return "not an ELF file";
  if (available < 7) return "the ELF header is cut short (" + std::to_string(file_size) + " bytes)";
  const uint8_t elf_class = head[4];
  const uint8_t order = head[5];
  if (elf_class != kClass32 && elf_class != kClass64) return "unknown ELF class " + std::to_string(elf_class);
  if (order != kLittleEndian && order != kBigEndian) return "unknown ELF byte order " + std::to_string(order);
  if (elf_class != target.elf_class) {
    return "a " + class_words(elf_class) + " library; this process loads " + class_words(target.elf_class) + " ones";
  }
  if (order != target.byte_order) {
    return "a " + order_words(order) + " library; this process is " + order_words(target.byte_order);
  }
  if (head[6] != 1) return "unknown ELF version " + std::to_string(head[6]);
  const ClassLayout& c = layout_of(elf_class);
  if (available < c.header_size) return "the ELF header is cut short (" + std::to_string(file_size) + " bytes)";

  const uint64_t type = read_unsigned(head + c.type, 2, order);
  const auto machine = static_cast<uint16_t>(read_unsigned(head + c.machine, 2, order));
  if (type != kTypeSharedObject) return "not a shared library but " + type_words(type);
  if (target.machine != 0 && machine != target.machine) {
    return "built for " + elf_machine_name(machine) + " (ELF machine " + std::to_string(machine) +
           "); this process runs on " + elf_machine_name(target.machine) + " (ELF machine " +
           std::to_string(target.machine) + ")";
  }
  const uint64_t phoff = read_unsigned(head + c.phoff, c.address_size, order);
  const uint64_t phentsize = read_unsigned(head + c.phentsize, 2, order);
  const uint64_t phnum = read_unsigned(head + c.phnum, 2, order);
  if (phnum == 0) return "no loadable segments";
  if (phentsize != c.entry_size) {
    return "program header entries of " + std::to_string(phentsize) + " bytes instead of " +
           std::to_string(c.entry_size);
  }
  const uint64_t table_end = sum(phoff, phnum * phentsize);  // at most 65535 * 56: no overflow
  if (table_end > file_size) {
    return "the file is cut short: its program headers end at byte " + std::to_string(table_end) +
           " but the file has " + std::to_string(file_size) + " bytes";
  }
  layout->elf_class = elf_class;
  layout->byte_order = order;
  layout->table_offset = phoff;
  layout->entry_count = phnum;
  layout->entry_size = phentsize;
  return "";
}

std::string elf_segments_problem(const uint8_t* table, const ElfLayout& layout, uint64_t file_size) {
  const ClassLayout& c = layout_of(layout.elf_class);
  const uint8_t order = layout.byte_order;
  struct Range {
    uint64_t begin, end;
  };
  std::vector<Range> loaded;
  bool have_dynamic = false;
  Range dynamic{};
  for (uint64_t i = 0; i < layout.entry_count; ++i) {
    const uint8_t* entry = table + i * layout.entry_size;
    const uint64_t type = read_unsigned(entry + c.p_type, 4, order);
    const uint64_t offset = read_unsigned(entry + c.p_offset, c.address_size, order);
    const uint64_t vaddr = read_unsigned(entry + c.p_vaddr, c.address_size, order);
    const uint64_t filesz = read_unsigned(entry + c.p_filesz, c.address_size, order);
    const uint64_t memsz = read_unsigned(entry + c.p_memsz, c.address_size, order);
    if (type == kSegmentLoad) {
      const uint64_t end = sum(offset, filesz);
      if (end > file_size) {
        return "the file is cut short: loadable segment " + std::to_string(loaded.size() + 1) + " ends at byte " +
               (end == UINT64_MAX ? std::string("beyond any file") : std::to_string(end)) + " but the file has " +
               std::to_string(file_size) + " bytes";
      }
      loaded.push_back({vaddr, sum(vaddr, memsz)});
    } else if (type == kSegmentDynamic && !have_dynamic) {
      have_dynamic = true;
      dynamic = {vaddr, sum(vaddr, memsz)};
    }
  }
  if (loaded.empty()) return "no loadable segments";
  if (!have_dynamic) return "no dynamic section";
  for (const Range& r : loaded) {
    if (dynamic.begin >= r.begin && dynamic.end <= r.end) return "";
  }
  return "the dynamic section lies outside the loadable segments";
}

std::string elf_image_problem(const uint8_t* data, size_t size, const ElfTarget& target) {
  ElfLayout layout;
  std::string problem = elf_header_problem(data, size, size, target, &layout);
  if (!problem.empty()) return problem;
  return elf_segments_problem(data + layout.table_offset, layout, size);
}

std::string library_file_problem(const std::string& path) {
  // Non-blocking: a FIFO under that name must not hang the check.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "";
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return "";
  const auto file_size = static_cast<uint64_t>(st.st_size);
  // Reads exactly `n` bytes at `offset`, false on any shortfall.
  auto read_at = [fd](uint8_t* out, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    return true;
  };
  uint8_t head[kElfHeaderBytes] = {};
  const size_t head_size = file_size < kElfHeaderBytes ? static_cast<size_t>(file_size) : kElfHeaderBytes;
  if (!read_at(head, head_size, 0)) return "";
  ElfLayout layout;
  std::string problem = elf_header_problem(head, head_size, file_size, host_elf_target(), &layout);
  if (!problem.empty()) return problem;
  std::vector<uint8_t> table(static_cast<size_t>(layout.table_bytes()));
  if (!read_at(table.data(), table.size(), layout.table_offset)) return "";
  return elf_segments_problem(table.data(), layout, file_size);
}

}  // namespace vez::core
