// The twin model as a C++ class: what the Python tests cannot see through one
// library copy (many instances in one process), plus the behaviour at its
// edges: reset semantics, rejected writes, friction at rest, lifecycle, the
// realistic drive's delay, trips and noise generator, and the switch between
// the two plants.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "catalog.hpp"
#include "model.hpp"

namespace tw = vez::twin;

namespace {

constexpr double kPi = 3.14159265358979323846;

const tw::Actuator& actuator(const char* name) { return *tw::find_model(name); }

void run(tw::Model& m, int n) {
  for (int i = 0; i < n; ++i) m.step();
}

// The start-up of the package's wrapper: one second of alignment, power off,
// ResetPos raised (and left high), then the mode.
void wrapper_start(tw::Model& m, int32_t mode, bool ideal = false) {
  m.inputs.Ideal = ideal;
  m.initialize();
  m.inputs.Enable = true;
  m.inputs.ControlType = tw::kCalibration;
  run(m, 20000);
  m.inputs.Enable = false;
  m.step();
  m.inputs.ResetPos = true;
  m.step();
  m.inputs.ControlType = mode;
  m.inputs.Enable = true;
}

// Output radians per count of the rotor encoder.
double rotor_count(const tw::Model& m) { return 2 * kPi / std::ldexp(1.0, m.params.enc_int_bits) / m.params.gear_ratio; }

bool all_finite(const tw::Model& m) {
  const double v[] = {m.meas.pos, m.meas.spd, m.meas.T,   m.info.T_ref,    m.info.temp_winding,
                      m.motor.m_id, m.motor.m_iq, m.motor.m_pwr_dc, m.motor.m_eff_mec, m.motor.m_eff_elec};
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

}  // namespace

TEST(TwinCatalogue, ModelsDifferAndStartValid) {
  ASSERT_EQ(std::size(tw::kCatalogue), 3u);
  for (const tw::Actuator& a : tw::kCatalogue) {
    tw::Model m(a);
    m.step();
    EXPECT_EQ(m.error(), nullptr) << a.name;  // defaults pass the model's own checks
  }
  EXPECT_NE(actuator("ORBIT_4").params.gear_ratio, actuator("NOVA_3").params.gear_ratio);
  EXPECT_NE(actuator("NOVA_3").params.V_bus, actuator("ORBIT_4").params.V_bus);
  EXPECT_EQ(tw::find_model("ORBIT_9"), nullptr);
}

// A bus emulator runs several instances in one process: they must share nothing.
TEST(TwinModel, InstancesAreIndependentAndDeterministic) {
  tw::Model a(actuator("ORBIT_4")), b(actuator("ORBIT_4")), c(actuator("ORBIT_4"));
  wrapper_start(a, tw::kPosition);
  wrapper_start(b, tw::kPosition);
  wrapper_start(c, tw::kPosition);
  a.inputs.Reference = 1.0;
  c.inputs.Reference = 1.0;
  a.pid.pos_Kp *= 2;
  c.pid.pos_Kp *= 2;
  for (int i = 0; i < 4000; ++i) {  // interleaved, as an emulator steps them
    a.step();
    b.step();
    c.step();
  }
  EXPECT_GT(a.meas.pos, 0.5);
  EXPECT_LT(std::fabs(b.meas.pos), 2e-3);        // untouched by its neighbours: held where it was
  EXPECT_EQ(b.steps(), a.steps());
  EXPECT_DOUBLE_EQ(b.pid.pos_Kp, a.pid.pos_Kp / 2);
  EXPECT_EQ(std::memcmp(&a.motor, &c.motor, sizeof a.motor), 0);  // same inputs, same bits
  EXPECT_EQ(std::memcmp(&a.meas, &c.meas, sizeof a.meas), 0);
}

// A library saves and restores its model by copying its bytes: a copy made
// mid-move, into another instance's storage, carries on exactly as the
// original (nothing in the model points into itself or owns memory).
TEST(TwinModel, ABytewiseCopyCarriesOnExactly) {
  static_assert(std::is_trivially_copyable_v<tw::Model>);
  tw::Model a(actuator("NOVA_3")), b(actuator("NOVA_3"));
  wrapper_start(a, tw::kPosition);
  a.inputs.Reference = 0.5;
  run(a, 3000);
  b.pid.pos_Kp *= 3;  // whatever b held is overwritten
  run(b, 10);
  std::memcpy(static_cast<void*>(&b), static_cast<const void*>(&a), sizeof a);
  for (int i = 0; i < 4000; ++i) {
    a.step();
    b.step();
    if (i == 2000) a.inputs.Load = b.inputs.Load = 1.5;
  }
  EXPECT_EQ(std::memcmp(static_cast<const void*>(&a), static_cast<const void*>(&b), sizeof a), 0);
  EXPECT_GT(a.meas.pos, 0.2);  // it did move
}

// ResetPos acts on each change of level.  The wrapper leaves it high after
// start-up and later homes with high-step-low, so both edges must count.
// The realistic encoders read a new zero to within their noise.
TEST(TwinModel, ResetPosZeroesOnEveryEdge) {
  for (bool ideal : {true, false}) {
    SCOPED_TRACE(ideal ? "ideal" : "realistic");
    tw::Model m(actuator("ORBIT_2"));
    wrapper_start(m, tw::kSpeed, ideal);
    const double noise = ideal ? 0.0 : 5 * m.realism.enc_int_noise * rotor_count(m);
    const double noise2 = ideal ? 0.0 : 5 * m.realism.enc_ext_noise * 2 * kPi / std::ldexp(1.0, m.params.enc_ext_bits);
    EXPECT_LE(std::fabs(m.meas.pos), noise);
    EXPECT_LE(std::fabs(m.meas.pos2), noise2);
    EXPECT_TRUE(m.inputs.ResetPos);

    // Level held high: the position is free.
    m.inputs.Reference = 20.0;
    run(m, 4000);
    const double moved = m.meas.pos;
    EXPECT_GT(moved, 1.0);
    EXPECT_NEAR(m.meas.pos2, moved, ideal ? 1e-3 : 1e-3 + m.realism.backlash);
    EXPECT_EQ(m.meas.turn2, static_cast<int32_t>(std::floor(m.meas.pos2 / (2 * kPi))));

    // Homing right after start-up: high (no edge), one step, low.
    m.inputs.ResetPos = true;
    m.step();
    m.inputs.ResetPos = false;
    m.step();  // the falling edge zeroes at the start of this step
    EXPECT_LT(std::fabs(m.meas.pos), 21.0 * 2 * tw::kTimeStep + noise);
    EXPECT_LE(std::abs(m.meas.turn), ideal ? 0 : 1);

    // A later homing from low: the rising edge zeroes at once.
    run(m, 2000);
    EXPECT_GT(m.meas.pos, 0.5);
    m.inputs.ResetPos = true;
    m.step();
    EXPECT_LT(std::fabs(m.meas.pos), 21.0 * tw::kTimeStep + noise);
    m.inputs.ResetPos = false;
    m.step();
    EXPECT_LT(std::fabs(m.meas.pos), 21.0 * tw::kTimeStep + noise);

    // The plant truth is not an encoder: it keeps counting from power-up.
    EXPECT_GT(m.motor.m_pos2, 2.0);
  }
}

// Realistic, cogging and the scaled friction hold it off the target by a
// little more than the in-position window.
TEST(TwinModel, ResetInPositionModeHoldsThePlace) {
  for (bool ideal : {true, false}) {
    SCOPED_TRACE(ideal ? "ideal" : "realistic");
    tw::Model m(actuator("ORBIT_4"));
    wrapper_start(m, tw::kPosition, ideal);
    const double tol = ideal ? 1e-3 : 3e-3;
    m.inputs.Reference = 2.0;
    run(m, 10000);
    ASSERT_NEAR(m.meas.pos, 2.0, tol);
    const double plant_before = m.motor.m_pos2;
    m.inputs.Reference = 0.0;  // home here: the new zero is the current place
    m.inputs.ResetPos = false;
    m.step();
    run(m, 4000);
    EXPECT_NEAR(m.meas.pos, 0.0, tol);
    EXPECT_NEAR(m.motor.m_pos2, plant_before, 2 * tol);  // it did not move back
  }
}

TEST(TwinModel, InvalidWritesAreUndoneAndReportedUntilInitialize) {
  tw::Model m(actuator("NOVA_3"));
  wrapper_start(m, tw::kPosition);
  const Pid_type pid = m.pid;
  const Lim_type lim = m.lim;
  m.pid.spd_Kp = NAN;
  m.step();
  EXPECT_EQ(std::memcmp(&m.pid, &pid, sizeof pid), 0);
  ASSERT_NE(m.error(), nullptr);
  EXPECT_NE(std::string(m.error()).find("gain"), std::string::npos);

  m.lim.lim_spd_max = m.lim.lim_spd_min - 1;  // max below min
  m.step();
  EXPECT_DOUBLE_EQ(m.lim.lim_spd_max, lim.lim_spd_max);
  m.params.gear_ratio = 0;
  m.step();
  EXPECT_EQ(m.params.gear_ratio, actuator("NOVA_3").params.gear_ratio);
  const Realism_type realism = m.realism;
  for (auto bad : {+[](Realism_type& r) { r.k_twist = 0; }, +[](Realism_type& r) { r.eta_fwd = 1.5; },
                   +[](Realism_type& r) { r.C_bus = 0; }, +[](Realism_type& r) { r.V_trip = r.V_high - 1; },
                   +[](Realism_type& r) { r.ripple = NAN; }, +[](Realism_type& r) { r.bus_sinks = 2; }}) {
    bad(m.realism);
    m.step();
    EXPECT_EQ(std::memcmp(&m.realism, &realism, sizeof realism), 0);
    EXPECT_NE(std::string(m.error()).find("realism"), std::string::npos);
  }

  // Non-finite inputs: the last finite value is used, nothing turns NaN.
  m.inputs.Reference = 0.5;
  run(m, 100);
  m.inputs.Reference = INFINITY;
  m.inputs.Load = NAN;
  run(m, 20000);
  EXPECT_TRUE(all_finite(m));
  EXPECT_NEAR(m.meas.pos, 0.5, 4e-3);  // within the in-position window (3.2 mrad) and the encoder's noise

  m.terminate();
  const uint64_t steps = m.steps();
  m.step();  // ignored until initialize()
  EXPECT_EQ(m.steps(), steps);
  m.initialize();  // a fresh run clears the message
  EXPECT_EQ(m.error(), nullptr);
}

TEST(TwinModel, UnknownControlTypeGivesNoTorque) {
  tw::Model m(actuator("ORBIT_4"));
  wrapper_start(m, 0);
  m.inputs.Load = 1.0;
  run(m, 1000);
  EXPECT_EQ(m.info.enable, 0.0);
  EXPECT_EQ(m.motor.m_Te, 0.0);
  ASSERT_NE(m.error(), nullptr);
  EXPECT_NE(std::string(m.error()).find("ControlType"), std::string::npos);
}

// Without torque the output rests on its breakaway friction, exactly still;
// above breakaway it moves, and friction never gives energy back.  The
// realistic output has friction_scale times the nominal friction, and its
// rotor, free within the backlash, does not move the output.
TEST(TwinModel, FrictionHoldsBelowBreakaway) {
  for (bool ideal : {true, false}) {
    SCOPED_TRACE(ideal ? "ideal" : "realistic");
    const tw::Actuator& s = actuator("ORBIT_4");
    tw::Model m(s);
    wrapper_start(m, tw::kTorque, ideal);
    const double t_static = s.params.T_static * (ideal ? 1.0 : s.realism.friction_scale);
    // What the rotor, resting in a cogging detent, may press through the drivetrain.
    const double cogging = ideal ? 0.0 : s.params.gear_ratio * s.realism.cogging;
    const double sensor = ideal ? 1e-9 : 5 * s.realism.T_noise;
    m.inputs.Enable = false;
    run(m, 2000);
    m.inputs.Load = 0.95 * (t_static - cogging);
    run(m, 2000);
    const double held = m.motor.m_pos2;
    run(m, 2000);
    EXPECT_EQ(m.motor.m_spd2, 0.0);
    EXPECT_EQ(m.motor.m_pos2, held);
    if (ideal) {
      EXPECT_EQ(m.motor.m_pwr_fric, 0.0);
    }
    EXPECT_NEAR(m.meas.T, m.inputs.Load, sensor);

    m.inputs.Load = 1.5 * t_static;
    double min_fric = 1e9;
    for (int i = 0; i < 2000; ++i) {
      m.step();
      min_fric = std::min(min_fric, m.motor.m_pwr_fric);
    }
    EXPECT_LT(m.motor.m_spd2, -0.1);  // the load wins
    EXPECT_GE(min_fric, ideal ? 0.0 : -1e-3);  // realistic: the split at a closing backlash rounds a little

    // Back below breakaway: it comes to rest and stays there.
    m.inputs.Load = 0.0;
    run(m, 20000);
    EXPECT_EQ(m.motor.m_spd2, 0.0);
    const double rest = m.motor.m_pos2;
    run(m, 1000);
    EXPECT_EQ(m.motor.m_pos2, rest);
  }
}

// Ideal: the realistic drive trips on the temperature this reaches (below).
TEST(TwinModel, ThermalFoldbackLimitsTheCurrent) {
  const tw::Actuator& s = actuator("ORBIT_2");
  tw::Model m(s);
  wrapper_start(m, tw::kTorque, true);
  m.params.C_winding = 0.05;  // a hot winding within a few thousand steps
  m.params.C_housing = 0.5;
  m.inputs.Reference = 10.0;  // far above the limit, against a load that stalls it
  m.inputs.Load = m.lim.lim_T;
  run(m, 40000);
  EXPECT_GT(m.info.temp_winding, s.params.T_safe);
  EXPECT_LT(std::fabs(m.info.iq_ref), s.params.I_peak * 0.9);
  EXPECT_GE(std::fabs(m.info.iq_ref), s.params.I_rated * 0.999);
  EXPECT_TRUE(m.debug.i_max);
}

// A long run through every mode with loads and reversals stays finite and
// bounded (also runs under the sanitizers).
TEST(TwinModel, LongRunThroughAllModesStaysBounded) {
  const tw::Actuator& s = actuator("NOVA_3");
  tw::Model m(s);
  wrapper_start(m, tw::kPosition);
  const int32_t modes[] = {tw::kPosition, tw::kSpeed, tw::kTorque, tw::kImpedance, tw::kOpenLoop,
                           tw::kDvi,      tw::kFvi,   tw::kCalibration, tw::kPosition};
  for (int32_t mode : modes) {
    m.inputs.ControlType = mode;
    for (int k = 0; k < 8; ++k) {
      m.inputs.Reference = (k % 2 ? -1.0 : 1.0) * (1.0 + k);
      m.inputs.Load = (k % 3 - 1) * 2.0;
      run(m, 2500);
      ASSERT_TRUE(all_finite(m)) << "mode " << mode;
      ASSERT_LT(std::fabs(m.motor.m_spd2), 2 * tw::no_load_speed(s.params)) << "mode " << mode;
      ASSERT_LT(std::hypot(m.motor.m_id, m.motor.m_iq), 3 * s.params.I_peak) << "mode " << mode;
    }
  }
  EXPECT_EQ(m.error(), nullptr);
}

// The noise comes from the seed alone: the same seed gives the same run in
// any instance, a new seed another run, and writing the seed restarts it.
TEST(TwinRealism, NoiseRepeatsWithItsSeed) {
  const auto record = [](tw::Model& m, int n) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
      m.step();
      out.push_back(m.meas.i_a);
      out.push_back(m.meas.pos2);
      out.push_back(m.meas.T);
    }
    return out;
  };
  tw::Model a(actuator("NOVA_3")), b(actuator("NOVA_3"));
  a.realism.seed = b.realism.seed = 12345;
  a.initialize();
  b.initialize();
  const std::vector<double> first = record(a, 500);
  EXPECT_EQ(record(b, 500), first);

  b.realism.seed = 54321;
  b.initialize();
  const std::vector<double> other = record(b, 500);
  EXPECT_NE(other, first);
  size_t same = 0;
  for (size_t i = 0; i < first.size(); i += 3) same += first[i] == other[i];
  EXPECT_LT(same, first.size() / 3 / 2);  // the sensed current differs in most samples

  // A write of a new seed between steps restarts the generator at once, as
  // initialize() does (which takes the power-up reading with it).
  a.initialize();
  record(a, 100);
  a.realism.seed = 54321;
  tw::Model c(actuator("NOVA_3"));
  c.realism.seed = 54321;
  c.initialize();
  std::vector<double> fresh = {c.meas.i_a, c.meas.pos2, c.meas.T};
  const std::vector<double> more = record(c, 49);
  fresh.insert(fresh.end(), more.begin(), more.end());
  const std::vector<double> restarted = record(a, 50);
  for (size_t i = 0; i < fresh.size(); i += 3) EXPECT_EQ(restarted[i], fresh[i]) << i;  // the current: at rest in both
}

// The realistic drive applies a step's voltage during the next step; the
// ideal one at once.
TEST(TwinRealism, VoltageActsOneStepLate) {
  for (bool ideal : {true, false}) {
    SCOPED_TRACE(ideal ? "ideal" : "realistic");
    tw::Model m(actuator("ORBIT_4"));
    wrapper_start(m, tw::kDvi, ideal);
    m.inputs.Enable = false;
    m.step();
    m.inputs.Enable = true;
    m.inputs.Reference = 0.5;
    m.step();
    EXPECT_EQ(m.info.vd_ref, 0.5);  // what the drive commands
    if (ideal) {
      EXPECT_EQ(m.motor.m_vd, 0.5);
    } else {
      EXPECT_EQ(m.motor.m_vd, 0.0);
      m.step();
      // At rest the drive's frame differs from the rotor's by its encoder's and calibration's error.
      EXPECT_NEAR(m.motor.m_vd, 0.5, 0.5 * 0.02);
      EXPECT_NEAR(m.motor.m_vq, 0.0, 0.5 * 0.1);
    }
  }
}

// A trip turns the power stage off, keeps its flag raised and the stage off
// while Enable stays high, and is released by Enable low once the cause is
// gone.
TEST(TwinRealism, TripsLatchUntilEnableFallsAndTheCauseIsGone) {
  const tw::Actuator& s = actuator("ORBIT_4");
  tw::Model m(s);
  wrapper_start(m, tw::kTorque);
  m.inputs.Reference = 0.3 * m.lim.lim_T;
  m.inputs.Load = 0.3 * m.lim.lim_T;
  run(m, 400);
  ASSERT_FALSE(m.debug.trip);
  ASSERT_EQ(m.info.enable, 1.0);
  m.realism.I_trip = 0.2 * s.params.I_peak;  // below the current flowing now
  m.step();
  m.step();  // judged after the first, acting from the second
  EXPECT_TRUE(m.debug.trip);
  EXPECT_TRUE(m.debug.i_max);
  EXPECT_EQ(m.info.enable, 0.0);
  m.realism.I_trip = s.realism.I_trip;
  run(m, 200);
  EXPECT_TRUE(m.debug.trip);  // latched, although the cause is gone
  EXPECT_TRUE(m.debug.i_max);
  EXPECT_EQ(m.info.enable, 0.0);
  EXPECT_EQ(m.motor.m_iq, 0.0);
  m.inputs.Enable = false;
  m.step();
  EXPECT_FALSE(m.debug.trip);
  EXPECT_FALSE(m.debug.i_max);
  m.inputs.Enable = true;
  run(m, 200);
  EXPECT_EQ(m.info.enable, 1.0);
  EXPECT_FALSE(m.debug.trip);

  // A hot winding trips, and while it stays hot Enable low does not release it.
  m.realism.T_trip = m.info.temp_winding - 1.0;
  m.step();
  m.step();
  EXPECT_TRUE(m.debug.trip && m.debug.over_temp);
  EXPECT_EQ(m.info.enable, 0.0);
  m.inputs.Enable = false;
  m.step();
  EXPECT_TRUE(m.debug.over_temp);
  m.inputs.Enable = true;
  run(m, 10);
  EXPECT_EQ(m.info.enable, 0.0);
  m.realism.T_trip = s.realism.T_trip;
  m.step();  // still latched from the step before, with Enable high
  EXPECT_TRUE(m.debug.over_temp);
  m.inputs.Enable = false;
  m.step();
  m.inputs.Enable = true;
  run(m, 10);
  EXPECT_EQ(m.info.enable, 1.0);
  EXPECT_FALSE(m.debug.trip || m.debug.over_temp);

  // The ideal plant has no protections.
  m.inputs.Ideal = true;
  m.realism.I_trip = 0.01;
  run(m, 100);
  EXPECT_FALSE(m.debug.trip);
  EXPECT_EQ(m.info.enable, 1.0);
}

// Ideal is a setting: initialize() keeps it.  Switching in the middle of a
// move carries on from where the rotor is, and the move still completes.
TEST(TwinRealism, SwitchingPlantsMidRunCarriesOn) {
  tw::Model m(actuator("ORBIT_2"));
  m.inputs.Ideal = true;
  m.initialize();
  EXPECT_TRUE(m.inputs.Ideal);
  wrapper_start(m, tw::kPosition, false);
  m.inputs.Reference = 3.0;
  run(m, 600);
  const double before = m.meas.pos;
  m.inputs.Ideal = true;
  m.step();
  EXPECT_NEAR(m.meas.pos, before, 0.05);
  EXPECT_NEAR(m.motor.m_pos1 / m.params.gear_ratio, m.motor.m_pos2, 1e-12);  // one rigid body
  EXPECT_EQ(m.motor.m_twist, 0.0);
  run(m, 300);
  m.inputs.Ideal = false;
  run(m, 20000);
  EXPECT_NEAR(m.meas.pos, 3.0, 3e-3);
  EXPECT_NEAR(m.meas.pos2, 3.0, 3e-3 + m.realism.backlash);
  EXPECT_FALSE(m.debug.trip);
  EXPECT_TRUE(all_finite(m));
}

// The realistic drive's acceleration feed-forward uses its own rotor and
// gearbox inertia: an inertia attached to the flange is the plant's alone.
TEST(TwinRealism, FeedForwardKnowsOnlyTheDrivesInertia) {
  const tw::Actuator& s = actuator("ORBIT_4");
  const auto first_torque = [&](bool ideal, double j_load) {
    tw::Model m(s);
    m.params.J_load = j_load;
    wrapper_start(m, tw::kPosition, ideal);
    run(m, 200);
    m.inputs.Reference = 1.0;
    m.step();  // the profile's first step: full acceleration, no error yet
    return m.info.T_ref;
  };
  const double J = tw::drive_inertia(s.params);
  const double a = tw::default_tuning(s).lim.prof_acc;
  EXPECT_NEAR(first_torque(false, 0.0), J * a, 0.05 * J * a);
  EXPECT_NEAR(first_torque(false, 0.5 * J), first_torque(false, 0.0), 0.02 * J * a);
  EXPECT_NEAR(first_torque(true, 0.5 * J) - first_torque(true, 0.0), 0.5 * J * a, 0.02 * J * a);
}

// After the warm-up's calibration the drive's electrical angle is good
// enough that its torque estimate from the measured currents matches the
// motor's torque.
TEST(TwinRealism, CalibratedFrameGivesTheTorqueItMeasures) {
  for (const tw::Actuator& s : tw::kCatalogue) {
    SCOPED_TRACE(s.name);
    tw::Model m(s);
    wrapper_start(m, tw::kTorque);
    m.inputs.Reference = 0.3 * m.lim.lim_T;
    m.inputs.Load = 0.3 * m.lim.lim_T;
    run(m, 2000);
    double fb = 0, te = 0;
    for (int i = 0; i < 2000; ++i) {
      m.step();
      fb += m.info.T_fb;
      te += s.params.gear_ratio * m.motor.m_Te;
    }
    EXPECT_NEAR(fb / te, 1.0, 0.02);
    EXPECT_NEAR(te / 2000, m.inputs.Reference, 0.03 * m.inputs.Reference);
  }
}

// At rest the noise-free plant's filters, integrators and currents decay
// towards zero; they must reach it rather than sink into subnormal numbers,
// which made every step several times slower.
TEST(TwinModel, StatesNeverTurnSubnormalAtRest) {
  for (int32_t mode : {tw::kPosition, tw::kSpeed, tw::kTorque}) {
    SCOPED_TRACE(mode);
    tw::Model m(actuator("ORBIT_4"));
    wrapper_start(m, mode, true);
    run(m, 60000);  // three seconds holding still
    const double outputs[] = {m.meas.spd,   m.meas.spd2,  m.info.id_fb,  m.info.iq_fb,  m.info.T_fb,
                              m.info.T_ref, m.motor.m_id, m.motor.m_iq,  m.motor.m_vd,  m.motor.m_vq,
                              m.meas.T,     m.motor.m_Te, m.motor.m_spd2, m.info.vd_ref, m.info.vq_ref};
    for (double x : outputs) EXPECT_NE(std::fpclassify(x), FP_SUBNORMAL) << x;
  }
}
