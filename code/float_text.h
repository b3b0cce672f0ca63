// Shortest decimal text of a float: the fewest significant digits (1 to 9)
// that strtof reads back to exactly the same float, the one nearest to the
// float's value among texts of that many digits (ties: the even last digit).
//
// Notation follows the decimal exponent X of the first significant digit.
// Fixed when -5 <= X <= 15: "1", "0.5", "-123.25", "0.00001", "1000000", with
// no exponent, no trailing zeros after the point and no point without a
// fraction. Scientific otherwise: "1.5e-7", "3.4028235e38", "-1e-45" (no "+",
// no leading zeros in the exponent). Zero is "0" or "-0", infinities "inf" or
// "-inf", NaNs "nan" or "-nan" by their sign bit, as format_f6 prints them.
//
// The longest text has 17 bytes (a sign and 16 integer digits, as in
// "-1000000050000000"). The formatter works with integer arithmetic only, so
// the text does not depend on rounding modes, compiler flags or the build.
#pragma once

namespace subdiv {

// The bytes from out that format_shortest may store into: a buffer of this
// size always suffices, and the bytes past the returned length are scratch.
inline constexpr int shortest_room = 24;

// Writes the shortest round-trip text of value (see above) to out, without a
// NUL, and returns its length (at most 17). May store scratch bytes past the
// length, never past out[shortest_room - 1].
int format_shortest(float value, char* out);

} // namespace subdiv
