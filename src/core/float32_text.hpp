// Text for single-precision values that a person can read and a YAML reader
// turns back into the very same float: the shortest decimal that round-trips,
// written in the form YAML 1.1 resolvers take for a float (a digit before and
// a point in the mantissa, a signed exponent: "0.5", "3.0", "1.0e-05",
// "-2.5e+20"; ".nan", ".inf", "-.inf").  Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vez::core {

// The shortest text whose value, read as a double (as Python's float() and
// strtod do) and rounded to float, has exactly the bits of `value`; every
// NaN prints as ".nan".
std::string float32_text(float value);

// The float32 bit pattern of `value`.
uint32_t float32_bits(float value);

// True when two float32 values are the same value for a configuration: equal
// bits, or both NaN (a NaN's payload carries no setting).
bool same_float32(float a, float b);

}  // namespace vez::core
