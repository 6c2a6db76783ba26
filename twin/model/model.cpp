#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace vez::twin {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kDt = kTimeStep;
constexpr double kCurrentBandwidthHz = 1000.0;
constexpr double kAlignRampS = 0.2;       // calibration current ramp, slow against the alignment resonance
constexpr double kNyquistHz = 0.5 / kDt;
constexpr double kFlagMargin = 1.02;      // feedback flags tolerate 2 % over a limit
constexpr double kAmbientC = 25.0;
constexpr double kLearnAfterS = 0.5;      // calibration long enough for the drive to take its zero from it

// Unlike std::clamp this is defined for lo > hi (hi wins).
double clip(double x, double lo, double hi) { return std::min(std::max(x, lo), hi); }

double sign(double x) { return (x > 0) - (x < 0); }

// std::hypot guards against overflow we cannot reach, at several times the cost.
double magnitude(double a, double b) { return std::sqrt(a * a + b * b); }

double wrap_angle(double a) {
  if (a >= -kPi && a < kPi) return a;
  return a - kTwoPi * std::floor((a + kPi) / kTwoPi);
}

// cos and sin of a; a short series is exact to 1e-8 below 0.5 rad, where
// the model's small rotations lie.
void cos_sin(double a, double& c, double& s) {
  if (std::fabs(a) < 0.5) {
    const double a2 = a * a;
    c = 1 - a2 / 2 * (1 - a2 / 12 * (1 - a2 / 30));
    s = a * (1 - a2 / 6 * (1 - a2 / 20 * (1 - a2 / 42)));
  } else {
    c = std::cos(a);
    s = std::sin(a);
  }
}

// sin(x) / x: the mean of cos(k*theta) over a step that turns k*theta by 2x
// is cos(k*theta_mid) times this, so fast harmonics average out as they do
// on the shaft instead of aliasing.
double sinc(double x) {
  if (std::fabs(x) < 0.5) {
    const double x2 = x * x;
    return 1 - x2 / 6 * (1 - x2 / 20 * (1 - x2 / 42));
  }
  return std::sin(x) / x;
}

// (c + i s)^n for n >= 0.
void complex_power(double c, double s, int32_t n, double& cn, double& sn) {
  double rc = 1, rs = 0;
  while (n > 0) {
    if (n & 1) {
      const double t = rc * c - rs * s;
      rs = rc * s + rs * c;
      rc = t;
    }
    const double t = c * c - s * s;
    s = 2 * c * s;
    c = t;
    n >>= 1;
  }
  cn = rc;
  sn = rs;
}

// One inertia J with viscous friction B under a driving torque, Coulomb
// friction Tc while it moves and breakaway Ts from rest: its speed after h
// and its travel.  Friction opposes motion and holds it at rest while the
// driving torque stays below breakaway.
void one_body(double h, double J, double B, double drive, double Tc, double Ts, double w0, double& w1, double& dth) {
  const auto from_rest = [&](double hh, double& w, double& th) {
    if (std::fabs(drive) <= Ts || hh <= 0) {
      w = th = 0;
      return;
    }
    w = (drive - Tc * sign(drive)) * hh / (J + 0.5 * B * hh);
    th = 0.5 * w * hh;
  };
  if (w0 == 0) {
    from_rest(h, w1, dth);
  } else {
    const double s = sign(w0);
    const double free = ((J - 0.5 * B * h) * w0 + (drive - Tc * s) * h) / (J + 0.5 * B * h);
    if (free * s > 0) {
      w1 = free;
      dth = 0.5 * (w0 + w1) * h;
    } else {  // comes to rest within the step, then sticks or breaks away
      const double tz = h * w0 / (w0 - free);
      double th2 = 0;
      from_rest(h - tz, w1, th2);
      dth = 0.5 * w0 * tz + th2;
    }
  }
}

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

double lowpass_alpha(double cutoff_hz) {
  if (!(cutoff_hz > 0.0) || cutoff_hz >= kNyquistHz) return 1.0;
  return 1.0 - std::exp(-kTwoPi * cutoff_hz * kDt);
}

template <class S>
bool all_finite(const S& s) {
  static_assert(sizeof(S) % sizeof(double) == 0, "structure of doubles expected");
  double d[sizeof(S) / sizeof(double)];
  std::memcpy(d, &s, sizeof(S));
  for (double x : d)
    if (!std::isfinite(x)) return false;
  return true;
}

bool valid(const Lim_type& l) {
  return all_finite(l) && l.lim_T >= 0 && l.lim_pos_max >= l.lim_pos_min && l.lim_spd_max >= l.lim_spd_min &&
         l.prof_pos_max >= l.prof_pos_min && l.prof_spd_max >= l.prof_spd_min && l.prof_acc > 0;
}

bool valid(const Params_type& p) {
  const double d[] = {p.R_phase,   p.Ld,        p.Lq,         p.flux,     p.alpha_cu,  p.V_bus,
                      p.I_rated,   p.I_peak,    p.I_cal,      p.R_on,     p.k_sw,      p.P_idle,
                      p.gear_ratio, p.J_rotor,  p.J_out,      p.J_load,   p.T_coulomb, p.T_static,
                      p.B_viscous, p.C_winding, p.R_winding_housing, p.C_housing, p.R_housing_ambient,
                      p.T_safe,    p.T_critical, p.theta_e0};
  for (double x : d)
    if (!std::isfinite(x)) return false;
  return p.pole_pairs >= 1 && p.pole_pairs <= 100 && p.enc_int_bits >= 8 && p.enc_int_bits <= 30 &&
         p.enc_ext_bits >= 8 && p.enc_ext_bits <= 30 && p.R_phase > 0 && p.Ld > 0 && p.Lq > 0 && p.flux > 0 &&
         p.alpha_cu >= 0 && p.V_bus > 0 && p.I_rated > 0 && p.I_peak >= p.I_rated && p.I_cal >= 0 &&
         p.R_on >= 0 && p.k_sw >= 0 && p.P_idle >= 0 && p.gear_ratio > 0 && p.J_rotor > 0 && p.J_out >= 0 &&
         p.J_load >= 0 && p.T_coulomb >= 0 && p.T_static >= p.T_coulomb && p.B_viscous >= 0 &&
         p.C_winding > 0 && p.R_winding_housing > 0 && p.C_housing > 0 && p.R_housing_ambient > 0 &&
         p.T_critical > p.T_safe;
}

bool valid(const Realism_type& r) {
  const double d[] = {r.k_twist,  r.c_twist,   r.backlash, r.eta_fwd, r.eta_back, r.friction_scale, r.rotor_share,
                      r.cogging,  r.ripple,    r.i_noise,  r.i_offset_a, r.i_offset_b, r.adc_lsb,
                      r.enc_int_noise, r.enc_ext_noise, r.T_noise, r.R_bus, r.C_bus, r.V_low,
                      r.V_high,   r.V_trip,    r.I_trip,   r.spd_trip, r.T_trip};
  for (double x : d)
    if (!std::isfinite(x)) return false;
  return r.slots >= 1 && r.slots <= 1000 && (r.bus_sinks == 0 || r.bus_sinks == 1) && r.k_twist > 0 &&
         r.c_twist >= 0 && r.backlash >= 0 && r.eta_fwd > 0 && r.eta_fwd <= 1 && r.eta_back > 0 &&
         r.eta_back <= 1 && r.friction_scale >= 0 && r.rotor_share >= 0 && r.rotor_share <= 1 &&
         r.cogging >= 0 && r.ripple >= 0 && r.ripple < 1 &&
         r.i_noise >= 0 && r.adc_lsb >= 0 && r.enc_int_noise >= 0 && r.enc_ext_noise >= 0 && r.T_noise >= 0 &&
         r.R_bus >= 0 && r.C_bus > 0 && r.V_low < r.V_high && r.V_high <= r.V_trip && r.I_trip > 0 &&
         r.spd_trip > 0;
}

// Floor division, so negative counts give the turn below.
int32_t whole_turns(int64_t counts, int64_t per_turn) {
  int64_t t = counts >= 0 ? counts / per_turn : -((-counts - 1) / per_turn) - 1;
  t = std::clamp<int64_t>(t, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(t);
}

int64_t counts_of(double angle, double cpr, double noise_counts = 0.0) {
  // the cast must not overflow
  return static_cast<int64_t>(clip(std::floor(angle * cpr / kTwoPi + noise_counts), -9e18, 9e18));
}

double quantise(double x, double step) { return step > 0 ? step * std::nearbyint(x / step) : x; }

// An angle a few turns at most from [-pi, pi) brought into it.
double wrap_near(double a) {
  if (!(std::fabs(a) < 20.0)) return wrap_angle(a);  // never loops on a far or non-finite value
  while (a >= kPi) a -= kTwoPi;
  while (a < -kPi) a += kTwoPi;
  return a;
}

// The rotor's electrical angle as counts give it, without the offset, in
// [-pi, pi): whole electrical turns dropped in integers (counts per
// revolution are a power of two), so it is exact however far it turned.
double counted_angle(int64_t counts, double cpr, int32_t pole_pairs) {
  const int64_t mask = static_cast<int64_t>(cpr) - 1;
  const int64_t electrical = ((counts & mask) * pole_pairs) & mask;
  return wrap_near(static_cast<double>(electrical) * (kTwoPi / cpr));
}

// States that decay towards zero (filters, integrators, the currents of a
// winding at rest) would otherwise sink into subnormal numbers, on which
// every operation costs a hundred times more.
void flush_tiny(std::initializer_list<double*> states) {
  for (double* x : states)
    if (std::fabs(*x) < 1e-280) *x = 0.0;
}

bool read_flag(const bool& b) {  // a foreign writer may store any byte
  unsigned char c;
  std::memcpy(&c, &b, 1);
  return c != 0;
}

}  // namespace

double torque_constant(const Params_type& p) { return 1.5 * p.pole_pairs * p.flux; }

double no_load_speed(const Params_type& p) {
  return p.V_bus / kSqrt3 / (p.pole_pairs * p.flux) / p.gear_ratio;
}

double total_inertia(const Params_type& p) {
  return p.J_rotor * p.gear_ratio * p.gear_ratio + p.J_out + p.J_load;
}

double drive_inertia(const Params_type& p) { return p.J_rotor * p.gear_ratio * p.gear_ratio + p.J_out; }

int32_t cogging_harmonic(int32_t slots, int32_t pole_pairs) {
  if (slots < 1 || pole_pairs < 1) return 0;
  int64_t a = slots, b = 2 * static_cast<int64_t>(pole_pairs);
  while (b != 0) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  return static_cast<int32_t>(static_cast<int64_t>(slots) * 2 / a);  // lcm(slots, 2p) / p
}

Tuning default_tuning(const Actuator& actuator) {
  const Params_type& p = actuator.params;
  const double J = total_inertia(p);
  const double wc = kTwoPi * kCurrentBandwidthHz;
  const double ws = kTwoPi * actuator.speed_bandwidth_hz;
  const double wi = kTwoPi * actuator.impedance_bandwidth_hz;
  const double w_nl = no_load_speed(p);
  const double t_stall = p.gear_ratio * torque_constant(p) * p.I_peak;
  const double pos_range = 1000.0;  // rad, about 160 output turns

  Tuning t{};
  t.pid.id_Kp = wc * 0.5 * (p.Ld + p.Lq);
  t.pid.id_Ki = wc * p.R_phase;
  t.pid.spd_Kp = J * ws;
  t.pid.spd_Ki = t.pid.spd_Kp * ws / 4.0;
  t.pid.pos_Kp = ws / 4.0;
  t.pid.pos_Ki = 0.0;
  t.pid.pos_Kd = 0.0;
  t.pid.FF_gain = 1.0;

  t.imp.K_stiff = J * wi * wi;
  t.imp.K_damp = 2.0 * 0.7 * J * wi;
  t.imp.T_FF = 0.0;
  t.imp.J_imp = J;

  t.lim.lim_T = t_stall;
  t.lim.lim_pos_max = pos_range + 50.0;
  t.lim.lim_pos_min = -(pos_range + 50.0);
  t.lim.lim_spd_max = 0.9 * w_nl;
  t.lim.lim_spd_min = -0.9 * w_nl;
  t.lim.prof_pos_max = pos_range;
  t.lim.prof_pos_min = -pos_range;
  t.lim.prof_spd_max = 0.75 * w_nl;
  t.lim.prof_spd_min = -0.75 * w_nl;
  t.lim.prof_acc = 0.5 * t_stall / J;

  t.filter.spd_cutoff = 1000.0;
  t.filter.current_cutoff = 5000.0;
  return t;
}

Model::Model(const Actuator& actuator) : actuator_(&actuator) {
  params = actuator.params;
  realism = actuator.realism;
  good_realism_ = realism;
  const Tuning t = default_tuning(actuator);
  pid = t.pid;
  imp = t.imp;
  lim = t.lim;
  filter = t.filter;
  good_params_ = params;
  good_pid_ = pid;
  good_imp_ = imp;
  good_lim_ = lim;
  good_filter_ = filter;
  initialize();
}

void Model::initialize() {
  guard_tuning();
  terminated_ = false;
  error_ = nullptr;
  steps_ = 0;

  const bool ideal = read_flag(inputs.Ideal);  // a setting, kept
  inputs = Inports_type{};
  inputs.ControlType = kPosition;
  inputs.T_ADC = kAmbientC;
  inputs.Ideal = ideal;
  last_in_ = Inputs{false, false, ideal, kPosition, 0, 0, 0, 0, 0, kAmbientC};
  ideal_ = ideal;

  th1_ = w1_ = th2_ = w2_ = 0;
  theta_e_ = wrap_angle(params.theta_e0);
  cos_e_ = std::cos(theta_e_);
  sin_e_ = std::sin(theta_e_);
  id_ = iq_ = 0;
  t_wind_ = t_house_ = kAmbientC;
  t_twist_ = 0;
  bus_v_ = params.V_bus;
  p_src_ = p_bus_loss_ = 0;
  v_pend_d_ = v_pend_q_ = v_pend_ang_ = 0;
  eps_ = 0;
  elec_off_ = theta_e_;
  trips_ = 0;
  v_saturated_ = false;
  reseed();

  cached_spd_cut_ = cached_cur_cut_ = cached_bus_tau_ = -1;
  drivetrain_dirty_ = true;
  cached_slots_ = cached_pole_pairs_ = 0;
  cached_gear_ = 0;
  cached_bits_int_ = cached_bits_ext_ = 0;
  update_derived();
  raw_int_ = counts_of(0.0, cpr_int_);
  raw_ext_ = counts_of(0.0, cpr_ext_);
  off_int_ = raw_int_;
  off_ext_ = raw_ext_;
  id_meas_ = iq_meas_ = torque_meas_ = i_amp_meas_ = 0;

  mode_ = 0;
  reset_prev_ = false;
  x_d_ = x_q_ = x_spd_ = x_pos_ = x_hi_ = x_lo_ = 0;
  p_ref_ = v_ref_ = a_ref_ = 0;
  cal_t_ = 0;
  torque_ref_ = id_ref_ = iq_ref_ = 0;
  has_pos_ref_ = false;
  torque_clipped_ = current_clipped_ = false;
  pos_bound_hi_ = pos_bound_lo_ = spd_bound_hi_ = spd_bound_lo_ = false;
  pos_clipped_hi_ = pos_clipped_lo_ = spd_clipped_hi_ = spd_clipped_lo_ = false;

  meas = Meas_type{};
  info = Info_type{};
  motor = Motor_type{};
  debug = Debug_type{};
  Voltage v{0, 0};
  plant_outputs(v, 0, 0, 0, 0, 0, 0, 0);
  if (ideal_)
    sense();
  else
    sense_realistic();
  info.pos_ref = meas.pos;
  check_flags();
}

void Model::terminate() { terminated_ = true; }

void Model::step() {
  if (terminated_) {
    error_ = "DT_step after DT_terminate ignored; call DT_initialize first";
    return;
  }
  guard_tuning();
  const Inputs in = read_inputs();
  if (in.ideal != ideal_) switch_plant(in.ideal);
  if (realism.seed != seeded_with_) reseed();
  update_derived();
  if (in.reset != reset_prev_) {
    reset_prev_ = in.reset;
    zero_encoders();
  }
  const Voltage v = control(in);
  if (ideal_) {
    plant(in, v);
    sense();
  } else {
    plant_realistic(in, v);
    sense_realistic();
    protect(in);
  }
  if (!has_pos_ref_) info.pos_ref = meas.pos;
  meas.e_pos = info.pos_ref - meas.pos;
  flush_tiny({&meas.spd, &meas.spd2, &id_meas_, &iq_meas_, &torque_meas_, &id_, &iq_, &x_d_, &x_q_, &x_spd_, &x_pos_,
              &x_hi_, &x_lo_, &w1_, &w2_});
  check_flags();
  ++steps_;
}

Model::Inputs Model::read_inputs() {
  Inputs in = last_in_;
  in.enable = read_flag(inputs.Enable);
  in.reset = read_flag(inputs.ResetPos);
  in.ideal = read_flag(inputs.Ideal);
  in.mode = inputs.ControlType;
  if (in.mode < kCalibration || in.mode > kImpedance) error_ = "unknown ControlType; the power stage stays off";
  const double fresh[] = {inputs.Reference, inputs.Load, inputs.ref_ff_torque, inputs.ref_impedance_spd,
                          inputs.ref_impedance_acel, inputs.T_ADC};
  double* kept[] = {&in.reference, &in.load, &in.ff_torque, &in.imp_spd, &in.imp_acc, &in.ambient};
  for (size_t i = 0; i < 6; ++i) {
    if (std::isfinite(fresh[i]))
      *kept[i] = fresh[i];
    else
      error_ = "non-finite input ignored; the last finite value is used";
  }
  last_in_ = in;
  return in;
}

// A write that makes a structure invalid is undone: the model keeps running
// on the last valid values and says so through the error status.  Only
// structures that changed since the last step are checked (they hold no
// padding, so comparing bytes is comparing values).
template <class S, class Valid>
bool Model::guard(S& live, S& good, Valid&& valid_fn, const char* message) {
  if (std::memcmp(&live, &good, sizeof(S)) == 0) return false;
  if (valid_fn(live)) {
    good = live;
    return true;
  }
  live = good;
  error_ = message;
  return false;
}

void Model::guard_tuning() {
  guard(pid, good_pid_, all_finite<Pid_type>, "non-finite gain rejected");
  guard(imp, good_imp_, all_finite<Impedance_type>, "non-finite impedance value rejected");
  guard(filter, good_filter_, all_finite<Filter_type>, "non-finite filter cutoff rejected");
  guard(lim, good_lim_, static_cast<bool (*)(const Lim_type&)>(valid),
        "invalid limits rejected (non-finite, negative lim_T, max below min or prof_acc <= 0)");
  if (guard(params, good_params_, static_cast<bool (*)(const Params_type&)>(valid),
            "invalid physical parameter rejected"))
    drivetrain_dirty_ = true;
  if (guard(realism, good_realism_, static_cast<bool (*)(const Realism_type&)>(valid),
            "invalid realism value rejected"))
    drivetrain_dirty_ = true;
}

void Model::update_drivetrain() {
  const Params_type& p = params;
  const Realism_type& r = realism;
  const double s = r.friction_scale;
  Drivetrain& d = dt_;
  d.J1 = p.J_rotor * p.gear_ratio * p.gear_ratio;
  d.J2 = std::max(p.J_out + p.J_load, 1e-3 * d.J1);  // a massless output would make the step stiff
  d.B1 = s * p.B_viscous;
  d.Tc = s * p.T_coulomb;
  d.Ts = s * p.T_static;
  d.mu_fwd = 1.0 / r.eta_fwd - 1.0;  // the load needs T/eta: the mesh loses T*(1/eta - 1)
  d.mu_back = 1.0 - r.eta_back;      // back-driven, the motor gets eta*T
  d.a1 = 0.5 * kDt / d.J1;
  d.a2 = 0.5 * kDt / d.J2;
  d.g1 = 1.0 / (1.0 + d.a1 * d.B1);
  d.kk = 0.5 * r.k_twist * kDt + r.c_twist;
  drivetrain_dirty_ = false;
}

// Between the plants: the rigid one carries on from the rotor, the compliant
// one starts untwisted on a bus at its supply's voltage, with nothing queued
// and no trip; the drive's electrical angle is the encoder's.
void Model::switch_plant(bool ideal) {
  ideal_ = ideal;
  th2_ = th1_;
  w2_ = w1_;
  t_twist_ = 0;
  bus_v_ = params.V_bus;
  p_src_ = p_bus_loss_ = 0;
  v_pend_d_ = v_pend_q_ = v_pend_ang_ = 0;
  eps_ = 0;
  elec_off_ = wrap_angle(theta_e_ - counted_angle(raw_int_, cpr_int_, params.pole_pairs));
  trips_ = 0;
}

void Model::reseed() {
  uint64_t x = seeded_with_ = realism.seed;
  for (uint64_t& word : rng_) word = splitmix64(x);
}

// Irwin-Hall sum of four uniforms, scaled to unit variance: near enough to a
// Gaussian for sensor noise, bounded at +-3.46, and one draw per sample.
double Model::normal() {
  const uint64_t r = rotl(rng_[1] * 5, 7) * 9;
  const uint64_t t = rng_[1] << 17;
  rng_[2] ^= rng_[0];
  rng_[3] ^= rng_[1];
  rng_[1] ^= rng_[2];
  rng_[0] ^= rng_[3];
  rng_[2] ^= t;
  rng_[3] = rotl(rng_[3], 45);
  const double sum = static_cast<double>((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48));
  return ((sum + 2.0) * (1.0 / 65536.0) - 2.0) * 1.7320508075688772;
}

void Model::update_derived() {
  const Params_type& p = params;
  J_ = total_inertia(p);
  J_ff_ = ideal_ ? J_ : drive_inertia(p);
  if (drivetrain_dirty_) update_drivetrain();
  Kt_ = torque_constant(p);
  R_hot_ = p.R_phase * std::max(0.1, 1.0 + p.alpha_cu * (t_wind_ - kAmbientC));
  v_max_ = (ideal_ ? p.V_bus : bus_v_) / kSqrt3;  // linear range of space-vector modulation
  // Thermal foldback: full current up to T_safe, down to the continuous rating at T_critical.
  const double hot = clip((t_wind_ - p.T_safe) / (p.T_critical - p.T_safe), 0.0, 1.0);
  i_lim_ = p.I_peak + hot * (p.I_rated - p.I_peak);

  if (p.gear_ratio != cached_gear_ || p.enc_int_bits != cached_bits_int_ || p.enc_ext_bits != cached_bits_ext_) {
    // Rescale the zero points so the reported position stays where it was.
    cpr_int_ = std::ldexp(1.0, p.enc_int_bits);
    cpr_ext_ = std::ldexp(1.0, p.enc_ext_bits);
    const bool first = cached_gear_ == 0;
    cached_gear_ = p.gear_ratio;
    cached_bits_int_ = p.enc_int_bits;
    cached_bits_ext_ = p.enc_ext_bits;
    raw_int_ = counts_of(p.gear_ratio * th1_, cpr_int_);
    raw_ext_ = counts_of(th2_, cpr_ext_);
    if (!first) {
      off_int_ = raw_int_ - std::llround(meas.pos * p.gear_ratio * cpr_int_ / kTwoPi);
      off_ext_ = raw_ext_ - std::llround(meas.pos2 * cpr_ext_ / kTwoPi);
      // The drive keeps the angle it had, now counted at the new resolution.
      elec_off_ = wrap_angle(theta_e_ + eps_ - counted_angle(raw_int_, cpr_int_, p.pole_pairs));
    }
  }
  if (realism.slots != cached_slots_ || p.pole_pairs != cached_pole_pairs_) {
    cached_slots_ = realism.slots;
    cached_pole_pairs_ = p.pole_pairs;
    cog_h_ = cogging_harmonic(realism.slots, p.pole_pairs);
  }
  const double tau = realism.R_bus * realism.C_bus;
  if (tau != cached_bus_tau_) {
    cached_bus_tau_ = tau;
    bus_decay_ = tau > 0 ? std::exp(-kDt / tau) : 0.0;
  }
  if (filter.spd_cutoff != cached_spd_cut_) {
    cached_spd_cut_ = filter.spd_cutoff;
    alpha_spd_ = lowpass_alpha(filter.spd_cutoff);
  }
  if (filter.current_cutoff != cached_cur_cut_) {
    cached_cur_cut_ = filter.current_cutoff;
    alpha_cur_ = lowpass_alpha(filter.current_cutoff);
  }
}

void Model::zero_encoders() {
  off_int_ = raw_int_;
  off_ext_ = raw_ext_;
  p_ref_ -= meas.pos;  // the profile continues from the same physical place
  x_pos_ = 0;
  meas.pos = meas.pos2 = 0;
  meas.turn = meas.turn2 = 0;
}

void Model::enter_mode(int32_t mode) {
  const int32_t prev = mode_;
  if (prev == kCalibration && cal_t_ >= kLearnAfterS && !ideal_) {
    // The rotor sits on the alignment vector: the drive takes this place as
    // electrical angle zero (off by what friction and cogging left).
    elec_off_ = wrap_angle(-counted_angle(raw_int_, cpr_int_, params.pole_pairs));
  }
  const auto uses_current_loop = [](int32_t m) { return m == kCalibration || m == kFvi || m >= kTorque; };
  const auto speed_loop_mode = [](int32_t m) { return m == kSpeed || m == kPosition; };
  mode_ = mode;
  if (!uses_current_loop(prev)) x_d_ = x_q_ = 0;
  const auto fixed_frame = [&](int32_t m) { return !ideal_ && (m == kCalibration || m == kFvi); };
  if (fixed_frame(prev) != fixed_frame(mode)) x_d_ = x_q_ = 0;  // integrators of another frame
  fixed_frame_ = fixed_frame(mode);
  // Bumpless transfer into the speed loop: its integrator starts from the torque applied so far.
  x_spd_ = (speed_loop_mode(mode) && prev >= kTorque) ? torque_ref_ : 0.0;
  x_pos_ = x_hi_ = x_lo_ = 0;
  v_saturated_ = false;
  p_ref_ = meas.pos;
  v_ref_ = mode == kSpeed || mode == kPosition ? meas.spd : 0.0;
  a_ref_ = 0;
  cal_t_ = 0;
}

Model::Voltage Model::control(const Inputs& in) {
  const bool known = in.mode >= kCalibration && in.mode <= kImpedance;
  const int32_t mode = in.enable && known && trips_ == 0 ? in.mode : 0;
  if (mode != mode_) enter_mode(mode);

  torque_clipped_ = current_clipped_ = false;
  pos_bound_hi_ = pos_bound_lo_ = spd_bound_hi_ = spd_bound_lo_ = false;
  pos_clipped_hi_ = pos_clipped_lo_ = spd_clipped_hi_ = spd_clipped_lo_ = false;
  has_pos_ref_ = false;
  torque_ref_ = id_ref_ = iq_ref_ = 0;
  info.spd_ref = meas.spd;

  const double pos = meas.pos;
  const double spd = meas.spd;
  Voltage v{0, 0};
  switch (mode_) {
    case kCalibration:
    case kFvi: {
      // A current vector fixed at electrical angle zero pulls the rotor onto it.
      double amp = mode_ == kCalibration ? params.I_cal * std::min(1.0, cal_t_ / kAlignRampS) : in.reference;
      cal_t_ += kDt;
      if (std::fabs(amp) > i_lim_) {
        amp = std::copysign(i_lim_, amp);
        current_clipped_ = true;
      }
      if (ideal_) {  // in the rotor frame: the vector turned back by the true angle
        id_ref_ = amp * cos_e_;
        iq_ref_ = -amp * sin_e_;
        v = current_loop(id_ref_, iq_ref_);
      } else {  // regulated in the vector's own frame: the encoder's angle is what is being found
        id_ref_ = amp;
        iq_ref_ = 0;
        v = current_loop(id_ref_, iq_ref_, true);
      }
      break;
    }
    case kOpenLoop:
      v = limit_voltage({0.0, in.reference});
      break;
    case kDvi:
      v = limit_voltage({in.reference, 0.0});
      break;
    case kTorque:
      torque_to_current(in.reference + in.ff_torque);
      v = current_loop(id_ref_, iq_ref_);
      break;
    case kSpeed: {
      double target = in.reference;
      if (target > lim.prof_spd_max) {
        target = lim.prof_spd_max;
        spd_clipped_hi_ = true;
      } else if (target < lim.prof_spd_min) {
        target = lim.prof_spd_min;
        spd_clipped_lo_ = true;
      }
      const double dv = clip(target - v_ref_, -lim.prof_acc * kDt, lim.prof_acc * kDt);
      v_ref_ += dv;
      a_ref_ = dv / kDt;
      info.spd_ref = v_ref_;
      speed_loop(v_ref_, a_ref_, in.ff_torque + pid.FF_gain * friction_of(v_ref_), false);
      v = current_loop(id_ref_, iq_ref_);
      break;
    }
    case kPosition: {
      const double target = position_target(in.reference);
      profile_to(target);
      const double e = p_ref_ - pos;
      x_pos_ = clip(x_pos_ + pid.pos_Ki * e * kDt, lim.lim_spd_min, lim.lim_spd_max);
      double spd_cmd = pid.FF_gain * v_ref_ + pid.pos_Kp * e + x_pos_ + pid.pos_Kd * (v_ref_ - spd);
      if (spd_cmd > lim.lim_spd_max) {
        spd_cmd = lim.lim_spd_max;
        spd_clipped_hi_ = true;
      } else if (spd_cmd < lim.lim_spd_min) {
        spd_cmd = lim.lim_spd_min;
        spd_clipped_lo_ = true;
      }
      has_pos_ref_ = true;
      info.pos_ref = p_ref_;
      info.spd_ref = spd_cmd;
      // At rest inside the in-position window the speed integrator holds, so
      // stiction cannot feed a hunting limit cycle around the target.  The
      // window is the error the breakaway step alone explains (excess of static
      // over Coulomb friction against the loops' stiffness), at least two counts.
      const double stiffness = pid.spd_Kp * pid.pos_Kp;
      const double counts = 2.0 * kTwoPi / cpr_int_ / params.gear_ratio;
      const double window =
          stiffness > 0 ? std::max(counts, (params.T_static - params.T_coulomb) / stiffness) : counts;
      const bool in_position = v_ref_ == 0 && p_ref_ == target && std::fabs(e) <= window;
      speed_loop(spd_cmd, a_ref_, in.ff_torque + pid.FF_gain * friction_of(v_ref_), in_position);
      v = current_loop(id_ref_, iq_ref_);
      break;
    }
    case kImpedance: {
      const double target = position_target(in.reference);
      has_pos_ref_ = true;
      info.pos_ref = target;
      info.spd_ref = in.imp_spd;
      torque_to_current(imp.K_stiff * (target - pos) + imp.K_damp * (in.imp_spd - spd) + imp.J_imp * in.imp_acc +
                        imp.T_FF + in.ff_torque);
      v = current_loop(id_ref_, iq_ref_);
      break;
    }
    default:  // power stage off
      break;
  }
  return v;
}

// Position references outside the profile's range are clipped to it.
double Model::position_target(double reference) {
  pos_clipped_hi_ = reference > lim.prof_pos_max;
  pos_clipped_lo_ = reference < lim.prof_pos_min;
  return clip(reference, lim.prof_pos_min, lim.prof_pos_max);
}

// Trapezoidal move of the position reference towards target: speed within the
// profile band, acceleration and deceleration at prof_acc, arriving at rest
// exactly on the target.
void Model::profile_to(double target) {
  const double a = lim.prof_acc;
  const double v_hi = std::max(0.0, lim.prof_spd_max);
  const double v_lo = std::min(0.0, lim.prof_spd_min);
  const double d = target - p_ref_;
  // The fastest speed from which braking by a*dt per step still stops on the
  // target: from v = (n + f)*a*dt (0 <= f < 1) the steps cover
  // a*dt^2*(n + 1)*(n/2 + f) in all.  The continuous sqrt(2*a*d) overshoots.
  const double x = std::fabs(d) / (a * kDt * kDt);
  const double n = std::floor(std::sqrt(0.25 + 2.0 * x) - 0.5);
  const double v_stop = a * kDt * (0.5 * n + x / (n + 1.0));
  const double v_land = std::fabs(d) / kDt;  // arrives within this step
  const bool near = d != 0 && v_land <= v_stop * (1 + 1e-9);  // slack for rounding
  const double v_want = sign(d) * (near ? v_land : v_stop);
  const double v_band = clip(v_want, v_lo, v_hi);
  const bool lands = near && v_band == v_want && std::fabs(v_want - v_ref_) <= a * kDt * (1 + 1e-9);
  const double v_new = lands ? v_want : v_ref_ + clip(v_band - v_ref_, -a * kDt, a * kDt);
  a_ref_ = (v_new - v_ref_) / kDt;
  v_ref_ = v_new;
  p_ref_ = lands ? target : p_ref_ + v_ref_ * kDt;
}

// Gearbox friction the drive expects at a reference speed (its own calibration).
double Model::friction_of(double speed) const {
  return params.T_coulomb * sign(speed) + params.B_viscous * speed;
}

void Model::speed_loop(double spd_ref, double acc_ref, double ff_torque, bool hold_integrator) {
  const double e = spd_ref - meas.spd;
  const double x = clip(x_spd_ + pid.spd_Ki * e * kDt, -lim.lim_T, lim.lim_T);
  const double wanted = pid.spd_Kp * e + x + pid.FF_gain * J_ff_ * acc_ref + ff_torque;
  const double applied = torque_to_current(wanted);
  // Integrate only while the output is free or the error pulls it back, and
  // not further while the current loop has no voltage left to follow.
  if (hold_integrator) return;
  if (v_saturated_ && e * applied > 0) return;
  if (applied == wanted || (wanted - applied) * e < 0) x_spd_ = x;
}

double Model::torque_to_current(double torque) {
  const double t_lim = lim.lim_T;
  const double t_cur = params.gear_ratio * Kt_ * i_lim_;
  double t = torque;
  t = bound_by_limits(t);
  if (std::fabs(t) > t_lim) {
    t = std::copysign(t_lim, t);
    torque_clipped_ = true;
  }
  if (std::fabs(t) > t_cur) {
    t = std::copysign(t_cur, t);
    current_clipped_ = true;
  }
  torque_ref_ = t;
  id_ref_ = 0;
  iq_ref_ = t / (params.gear_ratio * Kt_);
  return t;
}

// The limits on feedback bound the torque.  The fastest speed allowed is the
// speed limit and, near a position limit, the speed that still stops at it
// (pos_Kp times the distance left); likewise the slowest.  A side engages when
// the speed passes its bound and then acts as a PI speed controller on it; its
// integrator only ever pulls the bound in and runs back to zero below the
// bound, which releases it.  Away from the limits nothing is bounded.
double Model::bound_by_limits(double t) {
  const double pos = meas.pos, spd = meas.spd;
  const double kp = std::max(pid.spd_Kp, 0.0), ki = std::max(pid.spd_Ki, 0.0), k = pid.pos_Kp;
  double v_hi = lim.lim_spd_max, v_lo = lim.lim_spd_min;
  bool pos_hi = false, pos_lo = false;
  const double vp_hi = k > 0 ? k * (lim.lim_pos_max - pos) : (pos > lim.lim_pos_max ? 0.0 : v_hi);
  const double vp_lo = k > 0 ? k * (lim.lim_pos_min - pos) : (pos < lim.lim_pos_min ? 0.0 : v_lo);
  if (vp_hi < v_hi) {
    v_hi = vp_hi;
    pos_hi = true;
  }
  if (vp_lo > v_lo) {
    v_lo = vp_lo;
    pos_lo = true;
  }
  x_hi_ = clip(x_hi_ + ki * (v_hi - spd) * kDt, -lim.lim_T, 0.0);
  x_lo_ = clip(x_lo_ + ki * (v_lo - spd) * kDt, 0.0, lim.lim_T);
  if (spd > v_hi || x_hi_ < 0) {
    const double t_hi = kp * (v_hi - spd) + x_hi_;
    if (t > t_hi) {
      t = t_hi;
      (pos_hi ? pos_bound_hi_ : spd_bound_hi_) = true;
    }
  }
  if (spd < v_lo || x_lo_ > 0) {
    const double t_lo = kp * (v_lo - spd) + x_lo_;
    if (t < t_lo) {
      t = t_lo;
      (pos_lo ? pos_bound_lo_ : spd_bound_lo_) = true;
    }
  }
  return t;
}

Model::Voltage Model::limit_voltage(Voltage v) const {
  const double mag = magnitude(v.d, v.q);
  if (mag > v_max_) {
    const double k = v_max_ / mag;
    v.d *= k;
    v.q *= k;
  }
  return v;
}

Model::Voltage Model::current_loop(double id_ref, double iq_ref, bool fixed_frame) {
  const Params_type& p = params;
  fixed_frame_ = fixed_frame;
  const double we = fixed_frame ? 0.0 : p.pole_pairs * p.gear_ratio * meas.spd;
  const double ed = id_ref - id_meas_;
  const double eq = iq_ref - iq_meas_;
  const double xd = x_d_ + pid.id_Ki * ed * kDt;
  const double xq = x_q_ + pid.id_Ki * eq * kDt;
  // PI plus decoupling of the cross-coupling and back-EMF terms.
  const Voltage want{pid.id_Kp * ed + xd - we * p.Lq * iq_meas_,
                     pid.id_Kp * eq + xq + we * (p.Ld * id_meas_ + (fixed_frame ? 0.0 : p.flux))};
  const Voltage v = limit_voltage(want);
  v_saturated_ = v.d != want.d || v.q != want.q;
  if (!v_saturated_) {  // hold the integrators while the voltage saturates
    x_d_ = xd;
    x_q_ = xq;
  }
  return v;
}

// The ideal plant: one rigid inertia, the voltage of this step applied in
// the true rotor frame.
void Model::plant(const Inputs& in, Voltage v) {
  const Params_type& p = params;
  const double N = p.gear_ratio;
  const double w0 = w1_;
  const double we = p.pole_pairs * N * w0;  // held over the step
  const double id0 = id_, iq0 = iq_;
  double idm = 0, iqm = 0, id1 = 0, iq1 = 0;
  if (mode_ != 0) {
    // Midpoint rule on L di/dt = v - R i - coupling: v.i_mid then splits exactly
    // into copper loss, change of magnetic energy and converted power.
    const double a11 = 2 * p.Ld / kDt + R_hot_, a12 = -we * p.Lq;
    const double a21 = we * p.Ld, a22 = 2 * p.Lq / kDt + R_hot_;
    const double b1 = v.d + 2 * p.Ld * id0 / kDt;
    const double b2 = v.q - we * p.flux + 2 * p.Lq * iq0 / kDt;
    const double det = a11 * a22 - a12 * a21;
    idm = (b1 * a22 - a12 * b2) / det;
    iqm = (a11 * b2 - a21 * b1) / det;
    id1 = 2 * idm - id0;
    iq1 = 2 * iqm - iq0;
  } else {
    v = {0, 0};  // gates off: the winding current dies out in the freewheel diodes
  }
  const double te = 1.5 * p.pole_pairs * (p.flux * iqm + (p.Ld - p.Lq) * idm * iqm);

  const double drive = N * te - in.load;
  double w1 = 0, dth = 0;
  one_body(kDt, J_, p.B_viscous, drive, p.T_coulomb, p.T_static, w0, w1, dth);
  const double e_fric = drive * dth - 0.5 * J_ * (w1 * w1 - w0 * w0);
  th1_ += dth;
  th2_ = th1_;
  theta_e_ = wrap_angle(theta_e_ + p.pole_pairs * N * dth);
  w1_ = w2_ = w1;
  id_ = id1;
  iq_ = iq1;
  bus_v_ = p.V_bus;

  // Two-node thermal network: copper loss heats the winding, friction the housing.
  const double p_cu = 1.5 * R_hot_ * (idm * idm + iqm * iqm);
  const double p_fric = e_fric / kDt;
  const double q_wh = (t_wind_ - t_house_) / p.R_winding_housing;
  const double q_ha = (t_house_ - in.ambient) / p.R_housing_ambient;
  t_wind_ += (p_cu - q_wh) / p.C_winding * kDt;
  t_house_ += (q_wh + p_fric - q_ha) / p.C_housing * kDt;

  plant_outputs(v, idm, iqm, te, dth, p_cu, p_fric, (w1 - w0) / kDt);
  p_src_ = motor.m_pwr_dc;
  p_bus_loss_ = 0;
  motor.m_pwr_src = p_src_;
  motor.m_pwr_bus_loss = 0;
  motor.m_twist = 0;
  motor.m_T_twist = 0;
  motor.m_Tl = in.load;
  torque_meas_ += alpha_cur_ * (in.load + p.J_load * motor.m_acc - torque_meas_);
}

// The realistic plant.  Electrically as the ideal one, with the voltage the
// drive computed a step ago, placed where the drive believed the rotor would
// be, and a flux linkage carrying the sixth harmonic (the same factor in the
// back-EMF and the torque keeps the power balance exact).  Mechanically two
// bodies: the rotor (with cogging and viscous drag) and the output (with
// Coulomb and mesh friction), joined by the drivetrain.
void Model::plant_realistic(const Inputs& in, Voltage v_cmd) {
  const Params_type& p = params;
  const Realism_type& r = realism;
  const double N = p.gear_ratio;
  const double pN = p.pole_pairs * N;
  const double w1_0 = w1_, w2_0 = w2_, d0 = th1_ - th2_;
  const double we = pN * w1_0;  // held over the step
  const double half = 0.5 * we * kDt;

  // Electrical angle in the middle of the step and its harmonics, averaged over the step.
  double ch, sh;
  cos_sin(half, ch, sh);
  const double cm = cos_e_ * ch - sin_e_ * sh, sm = sin_e_ * ch + cos_e_ * sh;
  const double c2 = cm * cm - sm * sm, s2 = 2 * cm * sm;
  const double c3 = c2 * cm - s2 * sm, s3 = s2 * cm + c2 * sm;
  const double c6 = c3 * c3 - s3 * s3;
  const double flux = p.flux * (1.0 + r.ripple * c6 * sinc(6 * half));
  double cc, sc;
  complex_power(cm, sm, cog_h_, cc, sc);
  const double t_cog = r.cogging * sc * sinc(cog_h_ * half);

  const double id0 = id_, iq0 = iq_;
  Voltage v{0, 0};
  double idm = 0, iqm = 0, id1 = 0, iq1 = 0;
  if (mode_ != 0) {
    double cd, sd;
    cos_sin(v_pend_ang_ - half, cd, sd);
    v = {v_pend_d_ * cd - v_pend_q_ * sd, v_pend_d_ * sd + v_pend_q_ * cd};
    const double a11 = 2 * p.Ld / kDt + R_hot_, a12 = -we * p.Lq;
    const double a21 = we * p.Ld, a22 = 2 * p.Lq / kDt + R_hot_;
    const double b1 = v.d + 2 * p.Ld * id0 / kDt;
    const double b2 = v.q - we * flux + 2 * p.Lq * iq0 / kDt;
    const double det = a11 * a22 - a12 * a21;
    idm = (b1 * a22 - a12 * b2) / det;
    iqm = (a11 * b2 - a21 * b1) / det;
    id1 = 2 * idm - id0;
    iq1 = 2 * iqm - iq0;
    // This step's command waits for the next one, aimed 1.5 steps ahead of
    // the drive's angle (the middle of the step it will be applied in).
    v_pend_d_ = v_cmd.d;
    v_pend_q_ = v_cmd.q;
    v_pend_ang_ = fixed_frame_ ? -theta_e_ : eps_ + 1.5 * kDt * pN * meas.spd;
  } else {  // gates off at once; nothing waits
    v_pend_d_ = v_pend_q_ = v_pend_ang_ = 0;
  }
  const double te = 1.5 * p.pole_pairs * (flux * iqm + (p.Ld - p.Lq) * idm * iqm);

  double dth1 = 0, dth2 = 0;
  const double torque = N * (te + t_cog);
  mechanics(torque, in.load, dth1, dth2);
  theta_e_ = wrap_angle(theta_e_ + pN * dth1);
  v_pend_ang_ -= pN * dth1;  // measured from where the rotor now is
  id_ = id1;
  iq_ = iq1;

  // What the mechanics lost: work in less kinetic and spring energy.
  const double J1 = dt_.J1, J2 = dt_.J2;
  const double hb = 0.5 * r.backlash;
  const auto spring = [&](double d) {
    const double x = d > hb ? d - hb : d < -hb ? d + hb : 0.0;
    return 0.5 * r.k_twist * x * x;
  };
  const double e_fric = torque * dth1 - in.load * dth2 - 0.5 * J1 * (w1_ * w1_ - w1_0 * w1_0) -
                        0.5 * J2 * (w2_ * w2_ - w2_0 * w2_0) - (spring(th1_ - th2_) - spring(d0));

  const double p_cu = 1.5 * R_hot_ * (idm * idm + iqm * iqm);
  const double p_fric = e_fric / kDt;
  const double q_wh = (t_wind_ - t_house_) / p.R_winding_housing;
  const double q_ha = (t_house_ - in.ambient) / p.R_housing_ambient;
  t_wind_ += (p_cu - q_wh) / p.C_winding * kDt;
  t_house_ += (q_wh + p_fric - q_ha) / p.C_housing * kDt;

  plant_outputs(v, idm, iqm, te, dth1, p_cu, p_fric, (w2_ - w2_0) * (1.0 / kDt));
  info.vd_ref = v_cmd.d;  // the drive's command; motor.m_vd/m_vq are what the winding got
  info.vq_ref = v_cmd.q;
  bus(motor.m_pwr_dc);
  motor.m_vbus = bus_v_;  // at the end of the step, as the drive reads it
  motor.m_i_dc = motor.m_pwr_dc / bus_v_;
  motor.m_pwr_src = p_src_;
  motor.m_pwr_bus_loss = p_bus_loss_;
  motor.m_twist = th1_ - th2_;
  motor.m_T_twist = t_twist_;
  motor.m_Tl = in.load;
  torque_meas_ += alpha_cur_ * (in.load + p.J_load * motor.m_acc - torque_meas_);
}

// One step of the drivetrain: rotor and output apart inside the backlash
// band, each with its share of the friction (the rotor's bearings, the
// output's), joined by the spring and damper at its edges, where the output
// carries all of it.  A step in which the gap closes is split at the contact.
void Model::mechanics(double torque, double load, double& dth1, double& dth2) {
  const double th1 = th1_, th2 = th2_, w1 = w1_, w2 = w2_;
  const double hb = 0.5 * realism.backlash;
  const double d0 = th1 - th2;
  const int side = d0 > hb ? 1 : d0 < -hb ? -1 : 0;
  if (side != 0) {
    if (!advance_coupled(kDt, torque, load, side)) advance_free(kDt, torque, load);  // the contact opens
  } else {
    advance_free(kDt, torque, load);
    const double d1 = th1_ - th2_;
    if (std::fabs(d1) > hb) {
      const int hit = d1 > 0 ? 1 : -1;
      const double f = clip((hit * hb - d0) / (d1 - d0), 0.0, 1.0);
      th1_ = th1;
      th2_ = th2;
      w1_ = w1;
      w2_ = w2;
      advance_free(f * kDt, torque, load);
      const double rest = (1 - f) * kDt;
      if (rest > 0 && !advance_coupled(rest, torque, load, hit)) advance_free(rest, torque, load);
    }
  }
  dth1 = th1_ - th1;
  dth2 = th2_ - th2;
}

void Model::advance_free(double h, double torque, double load) {
  const Drivetrain& d = dt_;
  const double share = realism.rotor_share;
  double w1 = 0, dth1 = 0;
  one_body(h, d.J1, d.B1, torque, share * d.Tc, share * d.Ts, w1_, w1, dth1);
  th1_ += dth1;
  w1_ = w1;
  double w2 = 0, dth2 = 0;
  one_body(h, d.J2, 0.0, -load, (1 - share) * d.Tc, (1 - share) * d.Ts, w2_, w2, dth2);
  th2_ += dth2;
  w2_ = w2;
  t_twist_ = 0;
}

// Implicit midpoint rule on the spring and damper (so the spring's energy is
// kept exactly and no stiffness makes it unstable); the output's friction
// from the direction it moves in and the torque it carries.  False when the
// contact would pull, that is the teeth part.
bool Model::advance_coupled(double h, double torque, double load, int side) {
  const Realism_type& r = realism;
  const Drivetrain& d = dt_;
  double a1 = d.a1, a2 = d.a2, g1 = d.g1, kk = d.kk;
  if (h != kDt) {  // the rest of a step split at a contact
    a1 = 0.5 * h / d.J1;
    a2 = 0.5 * h / d.J2;
    g1 = 1.0 / (1.0 + a1 * d.B1);
    kk = 0.5 * r.k_twist * h + r.c_twist;
  }
  const double t0 = r.k_twist * (th1_ - th2_ - side * 0.5 * r.backlash);
  // Mesh losses as a friction on the output proportional to the torque it
  // carries: forward when that torque pushes the way the output moves.
  const auto mesh = [&](double t, double dir) { return (t * dir > 0 ? d.mu_fwd : d.mu_back) * std::fabs(t); };

  double dir = sign(w2_);
  if (w2_ == 0) {
    const double t_fixed = (t0 + kk * g1 * (w1_ + a1 * torque)) / (1.0 + kk * a1 * g1);
    if (t_fixed * side < 0) return false;
    const double hold = t_fixed - load;
    if (std::fabs(hold) <= d.Ts + mesh(t_fixed, sign(hold))) {  // the output stays
      const double w1m = g1 * (w1_ + a1 * (torque - t_fixed));
      th1_ += h * w1m;
      w1_ = 2 * w1m - w1_;
      t_twist_ = t_fixed;
      return true;
    }
    dir = sign(hold);
    t_twist_ = t_fixed;
  }
  const double f2 = -load - dir * (d.Tc + mesh(t_twist_, dir));
  const double tm = (t0 + kk * (g1 * (w1_ + a1 * torque) - w2_ - a2 * f2)) / (1.0 + kk * (a1 * g1 + a2));
  if (tm * side < 0) return false;
  const double w1m = g1 * (w1_ + a1 * (torque - tm));
  const double w2m = w2_ + a2 * (tm + f2);
  const double w1n = 2 * w1m - w1_;
  double w2n = 2 * w2m - w2_;
  double dth2 = h * w2m;
  if (w2n * dir < 0) {  // friction stopped the output within the step: it stays there
    dth2 = w2_ != 0 ? 0.5 * w2_ * h * w2_ / (w2_ - w2n) : 0.0;
    w2n = 0;
  }
  th1_ += h * w1m;
  th2_ += dth2;
  w1_ = w1n;
  w2_ = w2n;
  t_twist_ = tm;
  return true;
}

// The bus: a supply of V_bus behind R_bus, C_bus at the drive, which draws
// p_dc.  Exact for a constant drive current over the step.
void Model::bus(double p_dc) {
  const Realism_type& r = realism;
  const double vs = params.V_bus, v0 = bus_v_;
  const double i_dc = p_dc / v0;
  double v1;
  if (r.R_bus <= 0) {
    v1 = vs;
  } else if (r.bus_sinks == 0 && v0 >= vs) {  // the supply's diode blocks: the capacitor alone
    v1 = v0 - i_dc * kDt / r.C_bus;
  } else {
    const double v_eq = vs - r.R_bus * i_dc;
    v1 = v_eq + (v0 - v_eq) * bus_decay_;
    if (r.bus_sinks == 0 && v1 > vs) v1 = vs;
  }
  v1 = std::max(v1, 1e-3 * vs);  // a collapsed bus still divides
  const double i_src = r.C_bus * (v1 - v0) / kDt + i_dc;  // charge balance over the step
  bus_v_ = v1;
  p_src_ = vs * i_src;
  p_bus_loss_ = r.R_bus * i_src * i_src;
}

void Model::plant_outputs(Voltage v, double idm, double iqm, double te, double dth, double p_cu, double p_fric,
                          double acc) {
  const Params_type& p = params;
  const double N = p.gear_ratio;
  const double i_mag = magnitude(idm, iqm);
  const double p_elec = 1.5 * (v.d * idm + v.q * iqm);
  const double p_inv = (mode_ != 0 ? 1.5 * p.R_on * i_mag * i_mag + p.k_sw * bus_v_ * i_mag : 0.0) + p.P_idle;
  const double p_mec = N * te * dth / kDt;
  motor.m_Te = te;
  motor.m_acc = acc;
  motor.m_id = id_;
  motor.m_iq = iq_;
  motor.m_vd = v.d;
  motor.m_vq = v.q;
  motor.m_pos1 = N * th1_;
  motor.m_pos2 = th2_;
  motor.m_spd1 = N * w1_;
  motor.m_spd2 = w2_;
  motor.m_vbus = bus_v_;
  motor.m_pwr_elec = p_elec;
  motor.m_pwr_mec = p_mec;
  motor.m_pwr_cu = p_cu;
  motor.m_pwr_fric = p_fric;
  motor.m_pwr_inv = p_inv;
  motor.m_pwr_dc = p_elec + p_inv;
  motor.m_i_dc = motor.m_pwr_dc / bus_v_;
  motor.m_temp_housing = t_house_;
  // Efficiencies of the direction the power flows in; 0 when nothing useful comes out.
  motor.m_eff_elec = p_elec > 0 ? p_elec / (p_elec + p_inv) : p_elec < 0 ? std::max(0.0, (-p_elec - p_inv) / -p_elec) : 0;
  motor.m_eff_mec = p_mec > 0 ? p_mec / (p_mec + p_cu) : p_mec < 0 ? std::max(0.0, (-p_mec - p_cu) / -p_mec) : 0;

  // Phase quantities (amplitude-invariant transform): currents at the end of
  // the step, voltages at its middle where the modulator centres them.
  constexpr double k = kSqrt3 / 2;
  const double c1 = std::cos(theta_e_), s1 = std::sin(theta_e_);
  cos_e_ = c1;
  sin_e_ = s1;
  motor.m_ia = id_ * c1 - iq_ * s1;
  motor.m_ib = id_ * (-0.5 * c1 + k * s1) - iq_ * (-0.5 * s1 - k * c1);
  motor.m_ic = -motor.m_ia - motor.m_ib;
  // Rotate back by half the step's travel.
  const double half = 0.5 * p.pole_pairs * N * dth;
  double c0, s0;
  if (std::fabs(half) < 0.5) {
    double ch, sh;
    cos_sin(half, ch, sh);
    c0 = c1 * ch + s1 * sh;
    s0 = s1 * ch - c1 * sh;
  } else {
    c0 = std::cos(theta_e_ - half);
    s0 = std::sin(theta_e_ - half);
  }
  motor.m_va = v.d * c0 - v.q * s0;
  motor.m_vb = v.d * (-0.5 * c0 + k * s0) - v.q * (-0.5 * s0 - k * c0);
  motor.m_vc = -motor.m_va - motor.m_vb;

  info.vd_ref = v.d;
  info.vq_ref = v.q;
}

// Encoders, speeds and the torque shown to the controller.  The ideal drive
// reads the true currents and torque.
void Model::sense() {
  const Params_type& p = params;
  const double N = p.gear_ratio;
  const int64_t raw_int = counts_of(N * th1_, cpr_int_);
  const int64_t raw_ext = counts_of(th2_, cpr_ext_);
  const double q_int = kTwoPi / cpr_int_ / N;  // output radians per rotor count
  const double q_ext = kTwoPi / cpr_ext_;
  meas.spd += alpha_spd_ * (static_cast<double>(raw_int - raw_int_) * q_int / kDt - meas.spd);
  meas.spd2 += alpha_spd_ * (static_cast<double>(raw_ext - raw_ext_) * q_ext / kDt - meas.spd2);
  raw_int_ = raw_int;
  raw_ext_ = raw_ext;
  meas.pos = static_cast<double>(raw_int - off_int_) * q_int;
  meas.pos2 = static_cast<double>(raw_ext - off_ext_) * q_ext;
  meas.turn = whole_turns(raw_int - off_int_, static_cast<int64_t>(cpr_int_));
  meas.turn2 = whole_turns(raw_ext - off_ext_, static_cast<int64_t>(cpr_ext_));

  id_meas_ += alpha_cur_ * (id_ - id_meas_);
  iq_meas_ += alpha_cur_ * (iq_ - iq_meas_);
  meas.T = torque_meas_;
  meas.i_a = motor.m_ia;
  meas.i_b = motor.m_ib;

  info.enable = mode_ != 0 ? 1.0 : 0.0;
  info.temp_winding = t_wind_;
  info.T_fb = N * 1.5 * p.pole_pairs * (p.flux * iq_meas_ + (p.Ld - p.Lq) * id_meas_ * iq_meas_);
  info.T_ref = torque_ref_;
  info.id_fb = id_meas_;
  info.iq_fb = iq_meas_;
  info.id_ref = id_ref_;
  info.iq_ref = iq_ref_;
  info.pos_fb = meas.pos;
  info.spd_fb = meas.spd;
}

// The realistic drive's view: noisy encoder counts, phase currents through
// offset, noise and the converter's step, turned into its dq frame by its
// own electrical angle, and a noisy torque sensor.  Five draws a step, always
// in this order, so one noise level does not shift the others.
void Model::sense_realistic() {
  const Params_type& p = params;
  const Realism_type& r = realism;
  const double N = p.gear_ratio;
  const double n_int = normal(), n_ext = normal(), n_a = normal(), n_b = normal(), n_t = normal();
  const int64_t raw_int = counts_of(N * th1_, cpr_int_, r.enc_int_noise * n_int);
  const int64_t raw_ext = counts_of(th2_, cpr_ext_, r.enc_ext_noise * n_ext);
  const double q_int = kTwoPi / cpr_int_ / N;
  const double q_ext = kTwoPi / cpr_ext_;
  meas.spd += alpha_spd_ * (static_cast<double>(raw_int - raw_int_) * q_int / kDt - meas.spd);
  meas.spd2 += alpha_spd_ * (static_cast<double>(raw_ext - raw_ext_) * q_ext / kDt - meas.spd2);
  raw_int_ = raw_int;
  raw_ext_ = raw_ext;
  meas.pos = static_cast<double>(raw_int - off_int_) * q_int;
  meas.pos2 = static_cast<double>(raw_ext - off_ext_) * q_ext;
  meas.turn = whole_turns(raw_int - off_int_, static_cast<int64_t>(cpr_int_));
  meas.turn2 = whole_turns(raw_ext - off_ext_, static_cast<int64_t>(cpr_ext_));

  // The drive's electrical angle (its counts from its zero) less the truth.
  eps_ = wrap_near(counted_angle(raw_int, cpr_int_, p.pole_pairs) + elec_off_ - theta_e_);
  const double ia = quantise(motor.m_ia + r.i_offset_a + r.i_noise * n_a, r.adc_lsb);
  const double ib = quantise(motor.m_ib + r.i_offset_b + r.i_noise * n_b, r.adc_lsb);
  meas.i_a = ia;
  meas.i_b = ib;
  // Into the frame the current loop works in: the encoder's, or the fixed
  // one of an alignment.
  double c = 1, s = 0;
  if (!fixed_frame_) {
    double ce, se;
    cos_sin(eps_, ce, se);
    c = cos_e_ * ce - sin_e_ * se;
    s = sin_e_ * ce + cos_e_ * se;
  }
  const double i_alpha = ia, i_beta = (ia + 2 * ib) * (1.0 / kSqrt3);
  const double id = c * i_alpha + s * i_beta, iq = -s * i_alpha + c * i_beta;
  i_amp_meas_ = magnitude(id, iq);
  id_meas_ += alpha_cur_ * (id - id_meas_);
  iq_meas_ += alpha_cur_ * (iq - iq_meas_);
  meas.T = torque_meas_ + r.T_noise * n_t;

  info.enable = mode_ != 0 ? 1.0 : 0.0;
  info.temp_winding = t_wind_;
  info.T_fb = N * 1.5 * p.pole_pairs * (p.flux * iq_meas_ + (p.Ld - p.Lq) * id_meas_ * iq_meas_);
  info.T_ref = torque_ref_;
  info.id_fb = id_meas_;
  info.iq_fb = iq_meas_;
  info.id_ref = id_ref_;
  info.iq_ref = iq_ref_;
  info.pos_fb = meas.pos;
  info.spd_fb = meas.spd;
}

// Protections of the realistic drive on what it measures.  A trip holds the
// power stage off from the next step; it is released once Enable is low and
// its cause is gone.
void Model::protect(const Inputs& in) {
  const Realism_type& r = realism;
  uint32_t cause = 0;
  if (i_amp_meas_ > r.I_trip) cause |= kTripCurrent;
  if (bus_v_ > r.V_trip) cause |= kTripVoltage;
  if (std::fabs(meas.spd) > r.spd_trip) cause |= kTripSpeed;
  if (t_wind_ > r.T_trip) cause |= kTripTemperature;
  trips_ = (in.enable ? trips_ : 0u) | cause;
}

void Model::check_flags() {
  debug.T_ref_max = torque_clipped_;
  debug.i_max = current_clipped_ || magnitude(id_, iq_) > kFlagMargin * params.I_peak || (trips_ & kTripCurrent);
  debug.T_fb_max = std::fabs(info.T_fb) > kFlagMargin * lim.lim_T + 1e-9;
  debug.pos_fb_max = pos_bound_hi_ || meas.pos > lim.lim_pos_max;
  debug.pos_fb_min = pos_bound_lo_ || meas.pos < lim.lim_pos_min;
  debug.pos_ref_max = pos_clipped_hi_;
  debug.pos_ref_min = pos_clipped_lo_;
  debug.spd_fb_max = spd_bound_hi_ || spd_bound_lo_ || meas.spd > lim.lim_spd_max || meas.spd < lim.lim_spd_min ||
                     (trips_ & kTripSpeed);
  debug.spd_ref_max = spd_clipped_hi_;
  debug.spd_ref_min = spd_clipped_lo_;
  debug.trip = trips_ != 0;
  debug.over_temp = (trips_ & kTripTemperature) != 0;
  debug.vbus_max = (trips_ & kTripVoltage) != 0;
  debug.vbus_range = !ideal_ && (bus_v_ < realism.V_low || bus_v_ > realism.V_high);
}

}  // namespace vez::twin
