// Cost of one twin step, and how far ahead of real time it runs.
//
//   baseline   one Model instance stepped by a direct call
//   8 models   eight instances stepped in turn (a bus emulator's load), per step
//   library    DT_step of a dlopen()ed private copy of a simulation library,
//              called through its exported symbol (what any FFI does)
//
// Usage: twin_step_bench [DIR-WITH-libORBIT_4_*.so]
#include <dlfcn.h>
#include <unistd.h>

#include <ctime>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog.hpp"
#include "model.hpp"

namespace tw = vez::twin;
namespace fs = std::filesystem;

namespace {

constexpr int kSteps = 2'000'000;  // 100 s of simulated time

// A moving, loaded actuator: speed reversals every 0.25 s against a load.
void drive(Inports_type& in, int i) {
  in.Reference = (i / 5000) % 2 ? -10.0 : 10.0;
  in.Load = 0.5;
}

void start(Inports_type& in) {
  in.Enable = true;
  in.ControlType = tw::kSpeed;
}

// CPU time of this thread: the figure a busy machine does not inflate.
double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

template <class F>
double ns_per_call(F&& f, int n) {
  const double t0 = cpu_ns();
  for (int i = 0; i < n; ++i) f(i);
  return (cpu_ns() - t0) / n;
}

void report(const char* what, double ns, double baseline) {
  std::printf("  %-10s %8.1f ns/step  %9.0fx real time  ratio to baseline %.2f\n", what, ns,
              tw::kTimeStep * 1e9 / ns, ns / baseline);
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("twin step (ORBIT_4, speed mode under load, %d steps each, thread CPU time)\n", kSteps);

  tw::Model one(*tw::find_model("ORBIT_4"));
  start(one.inputs);
  const double baseline = ns_per_call(
      [&](int i) {
        drive(one.inputs, i);
        one.step();
      },
      kSteps);
  report("baseline", baseline, baseline);

  std::vector<std::unique_ptr<tw::Model>> eight;
  for (int k = 0; k < 8; ++k) {
    eight.push_back(std::make_unique<tw::Model>(*tw::find_model("ORBIT_4")));
    start(eight.back()->inputs);
  }
  const double per8 = ns_per_call(
      [&](int i) {
        tw::Model& m = *eight[i & 7];
        drive(m.inputs, i >> 3);
        m.step();
      },
      kSteps);
  report("8 models", per8, baseline);
  std::printf("  %-10s %8s          %9.0fx real time for all eight\n", "", "", tw::kTimeStep * 1e9 / per8 / 8);

  if (argc > 1) {
    fs::path lib;
    for (const auto& e : fs::directory_iterator(argv[1]))
      if (e.path().filename().string().rfind("libORBIT_4_", 0) == 0 && e.path().extension() == ".so") lib = e.path();
    if (lib.empty()) {
      std::fprintf(stderr, "no libORBIT_4_*.so in %s\n", argv[1]);
      return 1;
    }
    const fs::path copy = fs::temp_directory_path() / ("twin_bench_" + std::to_string(::getpid()) + ".so");
    fs::copy_file(lib, copy, fs::copy_options::overwrite_existing);
    void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    fs::remove(copy);
    if (h == nullptr) {
      std::fprintf(stderr, "dlopen: %s\n", dlerror());
      return 1;
    }
    using StepFn = void (*)(RT_MODEL_DT_T*);
    using InFn = Inports_type* (*)();
    auto init = reinterpret_cast<StepFn>(dlsym(h, "DT_initialize"));
    auto step = reinterpret_cast<StepFn>(dlsym(h, "DT_step"));
    auto inports = reinterpret_cast<InFn>(dlsym(h, "get_inports_ptr"));
    if (!init || !step || !inports) {
      std::fprintf(stderr, "missing exports in %s\n", lib.c_str());
      return 1;
    }
    B_DT_T b{};
    DW_DT_T dw{};
    PrevZCX_DT_T zc{};
    char err[256] = "";
    RT_MODEL_DT_T root{&b, &dw, &zc, err};
    init(&root);
    Inports_type& in = *inports();
    start(in);
    const double via_lib = ns_per_call(
        [&](int i) {
          drive(in, i);
          step(&root);
        },
        kSteps);
    report("library", via_lib, baseline);
    dlclose(h);
  }
  return 0;
}
