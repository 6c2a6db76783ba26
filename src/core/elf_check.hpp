// Whether the system loader can map a shared library file without crashing
// the process.  The loader maps every loadable segment straight from the
// file: a file cut short maps fine and then faults (SIGBUS) on first touch,
// and a library for another processor or word size is refused only after
// part of the work is done.  These checks look at the ELF header and the
// program header table only (the loader's own first look), in the file's
// own byte order, with every offset sum checked for overflow.
//
// Pure functions over bytes, callable from any thread; library_file_problem
// reads the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vez::core {

// What a process can load: ELF class (1: 32-bit, 2: 64-bit), byte order
// (1: little-endian, 2: big-endian) and machine (e_machine; 0: any).
struct ElfTarget {
  uint8_t elf_class;
  uint8_t byte_order;
  uint16_t machine;
};

// The target of the running process (as compiled).
ElfTarget host_elf_target();

// Where the program header table lies, as the ELF header says.
struct ElfLayout {
  uint8_t elf_class = 0;
  uint8_t byte_order = 0;
  uint64_t table_offset = 0;
  uint64_t entry_count = 0;
  uint64_t entry_size = 0;

  uint64_t table_bytes() const { return entry_count * entry_size; }
};

// Bytes of the file's beginning that elf_header_problem looks at.
inline constexpr size_t kElfHeaderBytes = 64;

// Checks the ELF header: `head` holds the first `head_size` bytes of a file
// of `file_size` bytes (head_size >= min(file_size, kElfHeaderBytes)).
// Returns "" and fills *layout when the header describes a shared library
// for `target` whose program header table lies inside the file; otherwise
// the reason, in words ("the file is empty", "not an ELF file", ...).
std::string elf_header_problem(const uint8_t* head, size_t head_size, uint64_t file_size, const ElfTarget& target,
                               ElfLayout* layout);

// Checks the program header table (`table`: layout.table_bytes() bytes read
// at layout.table_offset) against the file size: every loadable segment's
// file bytes inside the file, at least one loadable segment, and a dynamic
// section inside the loaded memory.  "" when the loader can map it.
std::string elf_segments_problem(const uint8_t* table, const ElfLayout& layout, uint64_t file_size);

// Both checks over a whole file held in memory.
std::string elf_image_problem(const uint8_t* data, size_t size, const ElfTarget& target);

// Both checks over a file on disk, for the running process.  "" when the
// file looks loadable, and also when it cannot be opened or read (the
// loader then reports that itself, without crashing).
std::string library_file_problem(const std::string& path);

// A name for an ELF machine number ("x86-64", "AArch64", ...), or
// "machine <n>" for numbers without one.
std::string elf_machine_name(uint16_t machine);

}  // namespace vez::core
