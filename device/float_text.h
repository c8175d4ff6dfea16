#pragma once

// Decimal texts of floats, exactly as printf writes them in the "C" locale: %.Pg (the standard
// stream's default with P = 6) and %f. A float is m * 2^e with m below 2^24, so for the
// magnitudes a power system measures its digits come from one 64-bit product and a shift,
// rounded half to even on the exact value as printf rounds. Every other value (exponent
// notation, very large or very small, infinities, NaN) goes to std::to_chars, which writes the
// same characters by a general and much longer way.
namespace float_text {

// printf's %.<precision>g of v, precision 1 to 9. `out` has room for 32 characters; returns the
// end of the text.
char* general(char* out, float v, int precision);

// printf's %f of v. `out` has room for 48 characters; returns the end of the text.
char* fixed(char* out, float v);

}  // namespace float_text
