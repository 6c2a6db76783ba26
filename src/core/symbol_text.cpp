#include "symbol_text.hpp"

#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <dlfcn.h>
#include <link.h>
#endif

namespace vez::core {

size_t symbol_bytes_from(const void* address) {
#if defined(__linux__)
  Dl_info info;
  void* entry = nullptr;
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0) return 0;
  const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
  if (symbol == nullptr || info.dli_saddr == nullptr || symbol->st_size == 0) return 0;
  const auto start = reinterpret_cast<uintptr_t>(info.dli_saddr);
  const auto at = reinterpret_cast<uintptr_t>(address);
  if (at < start || at - start >= symbol->st_size) return 0;
  return static_cast<size_t>(symbol->st_size - (at - start));
#else
  (void)address;
  return 0;
#endif
}

std::string bounded_c_text(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return std::string(text, n);
}

std::string read_symbol_text(const void* address, size_t limit) {
  const size_t symbol_bytes = symbol_bytes_from(address);
  if (symbol_bytes != 0 && symbol_bytes < limit) limit = symbol_bytes;
  return bounded_c_text(static_cast<const char*>(address), limit);
}

}  // namespace vez::core
