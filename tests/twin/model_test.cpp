// The twin model as a C++ class: what the Python tests cannot see through one
// library copy (many instances in one process), plus the behaviour at its
// edges: reset semantics, rejected writes, friction at rest, lifecycle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

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
void wrapper_start(tw::Model& m, int32_t mode) {
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
  EXPECT_EQ(b.meas.pos, 0.0);                    // untouched by its neighbours
  EXPECT_DOUBLE_EQ(b.pid.pos_Kp, a.pid.pos_Kp / 2);
  EXPECT_EQ(std::memcmp(&a.motor, &c.motor, sizeof a.motor), 0);  // same inputs, same bits
  EXPECT_EQ(std::memcmp(&a.meas, &c.meas, sizeof a.meas), 0);
}

// ResetPos acts on each change of level.  The wrapper leaves it high after
// start-up and later homes with high-step-low, so both edges must count.
TEST(TwinModel, ResetPosZeroesOnEveryEdge) {
  tw::Model m(actuator("ORBIT_2"));
  wrapper_start(m, tw::kSpeed);
  EXPECT_EQ(m.meas.pos, 0.0);
  EXPECT_EQ(m.meas.pos2, 0.0);
  EXPECT_TRUE(m.inputs.ResetPos);

  // Level held high: the position is free.
  m.inputs.Reference = 20.0;
  run(m, 4000);
  const double moved = m.meas.pos;
  EXPECT_GT(moved, 1.0);
  EXPECT_NEAR(m.meas.pos2, moved, 1e-3);
  EXPECT_EQ(m.meas.turn2, static_cast<int32_t>(std::floor(m.meas.pos2 / (2 * kPi))));

  // Homing right after start-up: high (no edge), one step, low.
  m.inputs.ResetPos = true;
  m.step();
  m.inputs.ResetPos = false;
  m.step();  // the falling edge zeroes at the start of this step
  EXPECT_LT(std::fabs(m.meas.pos), 21.0 * 2 * tw::kTimeStep);
  EXPECT_EQ(m.meas.turn, 0);

  // A later homing from low: the rising edge zeroes at once.
  run(m, 2000);
  EXPECT_GT(m.meas.pos, 0.5);
  m.inputs.ResetPos = true;
  m.step();
  EXPECT_LT(std::fabs(m.meas.pos), 21.0 * tw::kTimeStep);
  m.inputs.ResetPos = false;
  m.step();
  EXPECT_LT(std::fabs(m.meas.pos), 21.0 * tw::kTimeStep);

  // The plant truth is not an encoder: it keeps counting from power-up.
  EXPECT_GT(m.motor.m_pos2, 2.0);
}

TEST(TwinModel, ResetInPositionModeHoldsThePlace) {
  tw::Model m(actuator("ORBIT_4"));
  wrapper_start(m, tw::kPosition);
  m.inputs.Reference = 2.0;
  run(m, 10000);
  ASSERT_NEAR(m.meas.pos, 2.0, 1e-3);
  const double plant_before = m.motor.m_pos2;
  m.inputs.Reference = 0.0;  // home here: the new zero is the current place
  m.inputs.ResetPos = false;
  m.step();
  run(m, 4000);
  EXPECT_NEAR(m.meas.pos, 0.0, 1e-3);
  EXPECT_NEAR(m.motor.m_pos2, plant_before, 2e-3);  // it did not move back
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

  // Non-finite inputs: the last finite value is used, nothing turns NaN.
  m.inputs.Reference = 0.5;
  run(m, 100);
  m.inputs.Reference = INFINITY;
  m.inputs.Load = NAN;
  run(m, 20000);
  EXPECT_TRUE(all_finite(m));
  EXPECT_NEAR(m.meas.pos, 0.5, 2e-3);

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
// above breakaway it moves, and friction never gives energy back.
TEST(TwinModel, FrictionHoldsBelowBreakaway) {
  const tw::Actuator& s = actuator("ORBIT_4");
  tw::Model m(s);
  wrapper_start(m, tw::kTorque);
  m.inputs.Enable = false;
  m.inputs.Load = 0.95 * s.params.T_static;
  run(m, 2000);
  EXPECT_EQ(m.motor.m_spd2, 0.0);
  EXPECT_EQ(m.motor.m_pwr_fric, 0.0);
  EXPECT_NEAR(m.meas.T, m.inputs.Load, 1e-9);

  m.inputs.Load = 1.5 * s.params.T_static;
  double min_fric = 1e9;
  for (int i = 0; i < 2000; ++i) {
    m.step();
    min_fric = std::min(min_fric, m.motor.m_pwr_fric);
  }
  EXPECT_LT(m.motor.m_spd2, -0.1);  // the load wins
  EXPECT_GE(min_fric, 0.0);

  // Back below breakaway: it comes to rest and stays there.
  m.inputs.Load = 0.0;
  run(m, 20000);
  EXPECT_EQ(m.motor.m_spd2, 0.0);
  const double rest = m.motor.m_pos2;
  run(m, 1000);
  EXPECT_EQ(m.motor.m_pos2, rest);
}

TEST(TwinModel, ThermalFoldbackLimitsTheCurrent) {
  const tw::Actuator& s = actuator("ORBIT_2");
  tw::Model m(s);
  wrapper_start(m, tw::kTorque);
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
