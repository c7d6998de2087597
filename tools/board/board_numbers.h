// The board's own reading and writing of numbers and its own checksum. The board is the referee
// of the host, so it never borrows the host's helpers for these: a fault in them must show up as
// a disagreement with the board.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace board {

// How the board writes the sizes and offsets of its DATA, DATAOUT and DATAIN replies. Every form
// is one the wire allows: a leading 0x or 0X is hexadecimal, a leading 0 octal, otherwise
// decimal, with an optional k/m/g (x 2^10, 2^20, 2^30).
enum class NumberForm {
    Hex,       // "0x00001000"
    HexUpper,  // "0X1F40": upper-case prefix and digits
    HexMixed,  // "0x1F40": lower-case prefix, upper-case digits
    Decimal,   // "8000"
    Octal,     // "017500"
    Scaled,    // "8k" / "8K" / "2m" when the number is a whole multiple, else decimal
};

std::string write_number(uint64_t value, NumberForm form);
// "hex", "hex-upper", "hex-mixed", "decimal", "octal", "scaled"; false for another name.
bool number_form_named(const std::string& name, NumberForm* form);

// Reads a whole text in the wire's forms above (no sign, no blanks); false when it is not one,
// or does not fit in 64 bits.
bool read_number(const std::string& text, uint64_t* out);
// read_number of a count that must lie between lo and hi (0 <= lo <= hi): the numbers of the
// test tools' options.
bool read_count(const std::string& text, long long lo, long long hi, long long* out);
// Reads 1 to `max_digits` hexadecimal digits and nothing else (no prefix, sign or blank), as in
// "download:%08x".
bool read_hex_digits(const std::string& text, size_t max_digits, uint64_t* out);
// Hex text to bytes, two digits a byte ("0601001000000000"); blanks, ':' and ',' between them
// and "0x" prefixes are passed over. False for another character or an odd count of digits.
bool read_hex_bytes(const std::string& text, std::vector<uint8_t>* out);

// The additive checksum of `len` bytes that start `pos` bytes into the data: little-endian 32-bit
// words added modulo 2^32, a byte at position p counting as byte << 8 * (p % 4), which is what
// the host's word sum gives however the bytes arrive. Start with sum 0 and pos 0.
uint32_t word_sum(uint32_t sum, uint64_t pos, const uint8_t* data, size_t len);

}  // namespace board
