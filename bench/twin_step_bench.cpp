// Cost of one twin step, and how far ahead of real time it runs, per model.
//
//   direct     one Model instance stepped by a direct call (the realistic plant)
//   ideal      the same with the inport Ideal set
//   library    DT_step of a dlopen()ed private copy of that model's simulation
//              library, called through its exported symbol (what any FFI does)
//   8 models   eight ORBIT_4 instances stepped in turn (a bus emulator's load)
//
// The ratio column is against the first model's direct step of the same run.
//
// Usage: twin_step_bench [DIR-WITH-lib<MODEL>_*.so]
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

// A moving, loaded actuator: speed reversals every 0.25 s at a third of the
// profile speed, against a fifth of the torque limit.
struct Drive {
  double speed, load;
  explicit Drive(const tw::Actuator& a) {
    const tw::Tuning t = tw::default_tuning(a);
    speed = t.lim.prof_spd_max / 3.0;
    load = 0.2 * t.lim.lim_T;
  }
  void operator()(Inports_type& in, int i) const {
    in.Reference = (i / 5000) % 2 ? -speed : speed;
    in.Load = load;
  }
};

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

void report(const char* model, const char* what, double ns, double baseline) {
  std::printf("  %-8s %-9s %8.1f ns/step  %7.0fx real time  ratio %.2f\n", model, what, ns, tw::kTimeStep * 1e9 / ns,
              ns / baseline);
}

double direct(const tw::Actuator& a, bool ideal) {
  tw::Model m(a);
  m.inputs.Ideal = ideal;
  m.initialize();
  start(m.inputs);
  const Drive drive(a);
  return ns_per_call(
      [&](int i) {
        drive(m.inputs, i);
        m.step();
      },
      kSteps);
}

// < 0 when the library is missing or unusable (reported on stderr).
double via_library(const tw::Actuator& a, const fs::path& dir) {
  const std::string prefix = std::string("lib") + a.name + "_";
  fs::path lib;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind(prefix, 0) == 0 && e.path().extension() == ".so") lib = e.path();
  if (lib.empty()) {
    std::fprintf(stderr, "no %s*.so in %s\n", prefix.c_str(), dir.c_str());
    return -1;
  }
  const fs::path copy = fs::temp_directory_path() / ("twin_bench_" + std::to_string(::getpid()) + ".so");
  fs::copy_file(lib, copy, fs::copy_options::overwrite_existing);
  void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  fs::remove(copy);
  if (h == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return -1;
  }
  using StepFn = void (*)(RT_MODEL_DT_T*);
  using InFn = Inports_type* (*)();
  auto init = reinterpret_cast<StepFn>(dlsym(h, "DT_initialize"));
  auto step = reinterpret_cast<StepFn>(dlsym(h, "DT_step"));
  auto inports = reinterpret_cast<InFn>(dlsym(h, "get_inports_ptr"));
  if (!init || !step || !inports) {
    std::fprintf(stderr, "missing exports in %s\n", lib.c_str());
    dlclose(h);
    return -1;
  }
  B_DT_T b{};
  DW_DT_T dw{};
  PrevZCX_DT_T zc{};
  char err[256] = "";
  RT_MODEL_DT_T root{&b, &dw, &zc, err};
  init(&root);
  Inports_type& in = *inports();
  start(in);
  const Drive drive(a);
  const double ns = ns_per_call(
      [&](int i) {
        drive(in, i);
        step(&root);
      },
      kSteps);
  dlclose(h);
  return ns;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("twin step (speed mode under load, %d steps each, thread CPU time)\n", kSteps);
  double baseline = 0;
  int status = 0;
  for (const tw::Actuator& a : tw::kCatalogue) {
    const double ns = direct(a, false);
    if (baseline == 0) baseline = ns;
    report(a.name, "direct", ns, baseline);
    report(a.name, "ideal", direct(a, true), baseline);
    if (argc > 1) {
      const double lib = via_library(a, argv[1]);
      if (lib < 0)
        status = 1;
      else
        report(a.name, "library", lib, baseline);
    }
  }

  const tw::Actuator& orbit = *tw::find_model("ORBIT_4");
  std::vector<std::unique_ptr<tw::Model>> eight;
  for (int k = 0; k < 8; ++k) {
    eight.push_back(std::make_unique<tw::Model>(orbit));
    start(eight.back()->inputs);
  }
  const Drive drive(orbit);
  const double per8 = ns_per_call(
      [&](int i) {
        tw::Model& m = *eight[i & 7];
        drive(m.inputs, i >> 3);
        m.step();
      },
      kSteps);
  report("ORBIT_4", "8 models", per8, baseline);
  std::printf("  %-8s %-9s %8s          %7.0fx real time for all eight\n", "", "", "", tw::kTimeStep * 1e9 / per8 / 8);
  return status;
}
