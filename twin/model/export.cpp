// The C interface of one simulation library.  Compiled once per actuator with
// VEZ_TWIN_MODEL naming it; the library holds exactly one model in static
// memory, which is why every user loads a private copy of the file.
#include <cstring>
#include <type_traits>

#include "catalog.hpp"
#include "model.hpp"
#include "twin_types.h"
#include "twin_version.h"

#ifndef VEZ_TWIN_MODEL
#error "VEZ_TWIN_MODEL must name an actuator of the catalogue"
#endif

namespace {

static_assert(vez::twin::in_catalogue(VEZ_TWIN_MODEL), "VEZ_TWIN_MODEL is not in the catalogue");

vez::twin::Model g_model(*vez::twin::find_model(VEZ_TWIN_MODEL));

char kNoError[] = "";
const char* g_reported = nullptr;  // the message last put into a caller's errorStatus
const char* g_withdrawn = nullptr;  // a message a restored state never reported

// Copies what the caller may want to see into its own root structure.
void mirror(RT_MODEL_DT_T* rt) {
  if (rt == nullptr) return;
  if (rt->blockIO != nullptr) rt->blockIO->time_s = g_model.time_s();
  if (rt->dwork != nullptr) rt->dwork->steps = g_model.steps();
  if (rt->prevZCSigState != nullptr) rt->prevZCSigState->ResetPos_prev = g_model.reset_level() ? 1 : 0;
  // The messages are static text; the caller's buffer is never written.
  if (g_withdrawn != nullptr) {
    if (rt->errorStatus == g_withdrawn && g_model.error() == nullptr) rt->errorStatus = kNoError;
    g_withdrawn = nullptr;
  }
  if (g_model.error() != nullptr) {
    g_reported = g_model.error();
    rt->errorStatus = const_cast<char*>(g_reported);
  }
}

// Everything a step depends on, in the bytes DT_save_state writes: the model,
// the exported Filter and the message last reported.  The model holds no heap
// memory and no pointer but to static data of this library, so its bytes are
// its state.  Copied bytewise: the caller's buffer needs no alignment.
static_assert(std::is_trivially_copyable_v<vez::twin::Model>, "DT_save_state copies the model's bytes");
constexpr size_t kStateSize = sizeof(vez::twin::Model) + sizeof(Filter_type) + sizeof(const char*);

}  // namespace

extern "C" {

// Read before and written back after every step, so writes to either side count.
Filter_type Filter = g_model.filter;

const char MOTOR_MODEL[VEZ_TWIN_TEXT_SIZE] = VEZ_TWIN_MODEL;
const char SUBMODULE_COMMITS[VEZ_TWIN_TEXT_SIZE] = "vez_twin " VEZ_TWIN_VERSION;

void DT_initialize(RT_MODEL_DT_T* rt) {
  g_model.filter = Filter;
  g_model.initialize();
  Filter = g_model.filter;
  // Drop a message of the earlier run; a buffer of the caller's is left alone.
  if (rt != nullptr && g_reported != nullptr && rt->errorStatus == g_reported) rt->errorStatus = kNoError;
  mirror(rt);
}

void DT_step(RT_MODEL_DT_T* rt) {
  g_model.filter = Filter;
  g_model.step();
  Filter = g_model.filter;
  mirror(rt);
}

void DT_terminate(RT_MODEL_DT_T* rt) {
  g_model.terminate();
  mirror(rt);
}

Inports_type* get_inports_ptr(void) { return &g_model.inputs; }
Meas_type* get_meas_ptr(void) { return &g_model.meas; }
Info_type* get_info_ptr(void) { return &g_model.info; }
Lim_type* get_lim_ptr(void) { return &g_model.lim; }
Pid_type* get_pid_ptr(void) { return &g_model.pid; }
Impedance_type* get_impedance_ptr(void) { return &g_model.imp; }
Motor_type* get_motor_ptr(void) { return &g_model.motor; }
Debug_type* get_debug_ptr(void) { return &g_model.debug; }
Params_type* get_params_ptr(void) { return &g_model.params; }
Realism_type* get_realism_ptr(void) { return &g_model.realism; }

double get_sim_time_step_s(void) { return vez::twin::kTimeStep; }

size_t DT_state_size(void) { return kStateSize; }

void DT_save_state(void* out) {
  if (out == nullptr) return;
  char* at = static_cast<char*>(out);
  std::memcpy(at, static_cast<const void*>(&g_model), sizeof g_model);
  std::memcpy(at + sizeof g_model, &Filter, sizeof Filter);
  std::memcpy(at + sizeof g_model + sizeof Filter, &g_reported, sizeof g_reported);
}

void DT_restore_state(const void* in) {
  if (in == nullptr) return;
  const char* at = static_cast<const char*>(in);
  const char* shown = g_reported;
  std::memcpy(static_cast<void*>(&g_model), at, sizeof g_model);
  std::memcpy(&Filter, at + sizeof g_model, sizeof Filter);
  std::memcpy(&g_reported, at + sizeof g_model + sizeof Filter, sizeof g_reported);
  if (shown != g_reported) g_withdrawn = shown;
}

}  // extern "C"
