#include "core/elf_check.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace core = vez::core;
namespace fs = std::filesystem;

namespace {

constexpr core::ElfTarget kX8664 = {2, 1, 62};
constexpr core::ElfTarget kPowerPc32 = {1, 2, 20};

struct Segment {
  uint32_t type;
  uint64_t offset, vaddr, filesz, memsz;
};

void put(std::vector<uint8_t>& out, size_t at, uint64_t value, size_t size, bool big_endian) {
  for (size_t i = 0; i < size; ++i) {
    const size_t shift = big_endian ? size - 1 - i : i;
    out.at(at + i) = static_cast<uint8_t>(value >> (8 * shift));
  }
}

// An ELF image of `total` bytes: header, program headers right after it,
// zeros for the rest.
std::vector<uint8_t> image(const core::ElfTarget& t, uint16_t type, const std::vector<Segment>& segments, size_t total,
                           uint16_t phentsize = 0) {
  const bool is64 = t.elf_class == 2;
  const bool big = t.byte_order == 2;
  const size_t header = is64 ? 64 : 52;
  const size_t entry = is64 ? 56 : 32;
  std::vector<uint8_t> out(std::max(total, header + entry * segments.size()), 0);
  out[0] = 0x7f, out[1] = 'E', out[2] = 'L', out[3] = 'F';
  out[4] = t.elf_class, out[5] = t.byte_order, out[6] = 1;
  put(out, 16, type, 2, big);
  put(out, 18, t.machine, 2, big);
  put(out, 20, 1, 4, big);
  put(out, is64 ? 32 : 28, header, is64 ? 8 : 4, big);                          // e_phoff
  put(out, is64 ? 52 : 40, header, 2, big);                                      // e_ehsize
  put(out, is64 ? 54 : 42, phentsize != 0 ? phentsize : entry, 2, big);          // e_phentsize
  put(out, is64 ? 56 : 44, segments.size(), 2, big);                             // e_phnum
  for (size_t i = 0; i < segments.size(); ++i) {
    const Segment& s = segments[i];
    const size_t at = header + i * entry;
    put(out, at, s.type, 4, big);
    if (is64) {
      put(out, at + 8, s.offset, 8, big), put(out, at + 16, s.vaddr, 8, big);
      put(out, at + 32, s.filesz, 8, big), put(out, at + 40, s.memsz, 8, big);
    } else {
      put(out, at + 4, s.offset, 4, big), put(out, at + 8, s.vaddr, 4, big);
      put(out, at + 16, s.filesz, 4, big), put(out, at + 20, s.memsz, 4, big);
    }
  }
  out.resize(total);
  return out;
}

// Two loadable segments and a dynamic section inside the second, as a
// linker lays out a small library.
std::vector<Segment> library_segments() {
  return {{1, 0, 0, 0x400, 0x400}, {1, 0x400, 0x1400, 0x300, 0x500}, {2, 0x500, 0x1500, 0x100, 0x100}};
}

std::string problem(const std::vector<uint8_t>& bytes, const core::ElfTarget& t = kX8664) {
  return core::elf_image_problem(bytes.data(), bytes.size(), t);
}

std::vector<uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(ElfCheck, HostTargetMatchesTheBuild) {
  const core::ElfTarget host = core::host_elf_target();
  EXPECT_EQ(host.elf_class, sizeof(void*) == 8 ? 2 : 1);
#if defined(__x86_64__) && defined(__LP64__)
  EXPECT_EQ(host.machine, 62);
  EXPECT_EQ(host.byte_order, 1);
#endif
}

TEST(ElfCheck, AcceptsAWellFormedLibraryOfEitherClassAndOrder) {
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 0x700)), "");
  EXPECT_EQ(problem(image(kPowerPc32, 3, library_segments(), 0x700), kPowerPc32), "");
  // a segment may end exactly at the end of the file
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 0x700)), "");
}

TEST(ElfCheck, NamesWhatIsNotAnElfFile) {
  EXPECT_EQ(problem({}), "the file is empty");
  const std::string text = "#!/bin/sh\necho not a library\n";
  EXPECT_EQ(problem({text.begin(), text.end()}), "not an ELF file");
  EXPECT_EQ(problem({0x7f, 'E', 'L'}), "not an ELF file");
  EXPECT_EQ(problem({0x7f, 'E', 'L', 'F', 2}), "the ELF header is cut short (5 bytes)");
  std::vector<uint8_t> header = image(kX8664, 3, library_segments(), 0x700);
  header.resize(40);
  EXPECT_EQ(problem(header), "the ELF header is cut short (40 bytes)");
  header = image(kX8664, 3, library_segments(), 0x700);
  header[4] = 7;
  EXPECT_EQ(problem(header), "unknown ELF class 7");
  header[4] = 2, header[5] = 0;
  EXPECT_EQ(problem(header), "unknown ELF byte order 0");
  header[5] = 1, header[6] = 2;
  EXPECT_EQ(problem(header), "unknown ELF version 2");
}

TEST(ElfCheck, NamesAForeignClassOrderOrMachine) {
  EXPECT_EQ(problem(image({1, 1, 62}, 3, library_segments(), 0x700)),
            "a 32-bit library; this process loads 64-bit ones");
  EXPECT_EQ(problem(image({2, 2, 62}, 3, library_segments(), 0x700)),
            "a big-endian library; this process is little-endian");
  EXPECT_EQ(problem(image({2, 1, 183}, 3, library_segments(), 0x700)),
            "built for AArch64 (ELF machine 183); this process runs on x86-64 (ELF machine 62)");
  EXPECT_EQ(problem(image({2, 1, 4242}, 3, library_segments(), 0x700)),
            "built for machine 4242 (ELF machine 4242); this process runs on x86-64 (ELF machine 62)");
  // a target that does not know its machine accepts any
  EXPECT_EQ(problem(image({2, 1, 183}, 3, library_segments(), 0x700), {2, 1, 0}), "");
}

TEST(ElfCheck, NamesFilesThatAreNotSharedLibraries) {
  EXPECT_EQ(problem(image(kX8664, 2, library_segments(), 0x700)), "not a shared library but an executable");
  EXPECT_EQ(problem(image(kX8664, 1, library_segments(), 0x700)), "not a shared library but a relocatable object file");
  EXPECT_EQ(problem(image(kX8664, 9, library_segments(), 0x700)), "not a shared library but ELF type 9");
}

TEST(ElfCheck, FindsFilesCutShort) {
  // the second segment needs bytes up to 0x700
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 0x6ff)),
            "the file is cut short: loadable segment 2 ends at byte 1792 but the file has 1791 bytes");
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 0x100)),
            "the file is cut short: loadable segment 1 ends at byte 1024 but the file has 256 bytes");
  // cut inside the program header table
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 100)),
            "the file is cut short: its program headers end at byte 232 but the file has 100 bytes");
  // offsets whose sum wraps around must not pass
  std::vector<Segment> wrapping = library_segments();
  wrapping[1].offset = UINT64_MAX - 0x10;
  EXPECT_EQ(problem(image(kX8664, 3, wrapping, 0x700)),
            "the file is cut short: loadable segment 2 ends at byte beyond any file but the file has 1792 bytes");
  std::vector<Segment> wrapping32 = library_segments();
  wrapping32[0].offset = 0xFFFFFFF0u;
  EXPECT_NE(problem(image(kPowerPc32, 3, wrapping32, 0x700), kPowerPc32).find("loadable segment 1 ends at byte 4294968304"),
            std::string::npos);
}

TEST(ElfCheck, NeedsLoadableSegmentsAndADynamicSectionInsideThem) {
  EXPECT_EQ(problem(image(kX8664, 3, {}, 0x100)), "no loadable segments");
  EXPECT_EQ(problem(image(kX8664, 3, {{2, 0x40, 0x40, 0x10, 0x10}}, 0x100)), "no loadable segments");
  EXPECT_EQ(problem(image(kX8664, 3, {{1, 0, 0, 0x100, 0x100}}, 0x100)), "no dynamic section");
  EXPECT_EQ(problem(image(kX8664, 3, {{1, 0, 0, 0x100, 0x100}, {2, 0x80, 0x4000, 0x10, 0x10}}, 0x100)),
            "the dynamic section lies outside the loadable segments");
  EXPECT_EQ(problem(image(kX8664, 3, {{1, 0, 0, 0x100, 0x100}, {2, 0x80, 0xF8, 0x10, 0x10}}, 0x100)),
            "the dynamic section lies outside the loadable segments");  // straddles the end
  EXPECT_EQ(problem(image(kX8664, 3, library_segments(), 0x700, 64)),
            "program header entries of 64 bytes instead of 56");
}

// The checks on a real library of this system, whole and cut short.
TEST(ElfCheck, RealLibraryFiles) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&::getpid), &info), 0);  // the C library
  const fs::path real = info.dli_fname;
  EXPECT_EQ(core::library_file_problem(real.string()), "");

  const fs::path dir = fs::temp_directory_path() / ("elf_check_test_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> bytes = file_bytes(real);
  ASSERT_GT(bytes.size(), 4096u);
  bytes.resize(bytes.size() * 4 / 10);
  write_file(dir / "cut.so", bytes);
  EXPECT_EQ(core::library_file_problem((dir / "cut.so").string()).rfind("the file is cut short: loadable segment ", 0), 0u);
  bytes.resize(4096);
  write_file(dir / "cut4k.so", bytes);
  EXPECT_EQ(core::library_file_problem((dir / "cut4k.so").string()).rfind("the file is cut short", 0), 0u);
  write_file(dir / "empty.so", {});
  EXPECT_EQ(core::library_file_problem((dir / "empty.so").string()), "the file is empty");
  // what cannot be read is left to the loader to report
  EXPECT_EQ(core::library_file_problem((dir / "missing.so").string()), "");
  EXPECT_EQ(core::library_file_problem(dir.string()), "");
  ASSERT_EQ(::mkfifo((dir / "fifo.so").c_str(), 0600), 0);
  EXPECT_EQ(core::library_file_problem((dir / "fifo.so").string()), "");  // returns, without a writer
  fs::remove_all(dir);
}
