#include "tools/board/board_numbers.h"

#include <cstdio>

#include "util/byte_order.h"

namespace board {

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Accumulates the digits text[i, end) in `base`; false for another character or past 64 bits.
bool read_digits(const std::string& text, size_t i, size_t end, unsigned base, uint64_t* out) {
    if (i >= end) return false;
    uint64_t v = 0;
    for (; i < end; i++) {
        const int d = digit_value(text[i]);
        if (d >= (int)base || v > (UINT64_MAX - (uint64_t)d) / base) return false;
        v = v * base + (uint64_t)d;
    }
    *out = v;
    return true;
}

std::string printed(const char* format, unsigned long long v) {
    char buf[40];
    snprintf(buf, sizeof(buf), format, v);
    return buf;
}

}  // namespace

std::string write_number(uint64_t v, NumberForm form) {
    const unsigned long long n = v;
    switch (form) {
        case NumberForm::Hex: return printed("0x%08llx", n);
        case NumberForm::HexUpper: return printed("0X%llX", n);
        case NumberForm::HexMixed: return printed("0x%llX", n);
        case NumberForm::Decimal: return printed("%llu", n);
        case NumberForm::Octal: return printed("0%llo", n);
        case NumberForm::Scaled:
            if (n && n % (1ull << 30) == 0) return printed("%llug", n >> 30);
            if (n && n % (1ull << 20) == 0) return printed("%lluM", n >> 20);
            if (n && n % (1ull << 10) == 0) return printed("%lluk", n >> 10);
            return printed("%llu", n);
    }
    return printed("%llu", n);
}

bool number_form_named(const std::string& name, NumberForm* form) {
    static const struct {
        const char* name;
        NumberForm form;
    } kForms[] = {{"hex", NumberForm::Hex},         {"hex-upper", NumberForm::HexUpper},
                  {"hex-mixed", NumberForm::HexMixed}, {"decimal", NumberForm::Decimal},
                  {"octal", NumberForm::Octal},     {"scaled", NumberForm::Scaled}};
    for (const auto& f : kForms) {
        if (name == f.name) {
            *form = f.form;
            return true;
        }
    }
    return false;
}

bool read_number(const std::string& text, uint64_t* out) {
    size_t i = 0, end = text.size();
    unsigned base = 10;
    if (end >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (end >= 1 && text[0] == '0') {
        base = 8;
    }
    unsigned shift = 0;
    if (end > i) {
        const char last = text[end - 1];
        if (last == 'k' || last == 'K') shift = 10;
        if (last == 'm' || last == 'M') shift = 20;
        if (last == 'g' || last == 'G') shift = 30;
        if (shift) end--;
    }
    uint64_t v = 0;
    if (!read_digits(text, i, end, base, &v)) return false;
    if (shift && v > (UINT64_MAX >> shift)) return false;
    *out = v << shift;
    return true;
}

bool read_count(const std::string& text, long long lo, long long hi, long long* out) {
    uint64_t v = 0;
    if (!read_number(text, &v) || v < (uint64_t)lo || v > (uint64_t)hi) return false;
    *out = (long long)v;
    return true;
}

bool read_hex_digits(const std::string& text, size_t max_digits, uint64_t* out) {
    return text.size() <= max_digits && read_digits(text, 0, text.size(), 16, out);
}

bool read_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    std::string digits;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (c == ' ' || c == ':' || c == ',') continue;
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i++;
            continue;
        }
        if (digit_value(c) > 15) return false;
        digits += c;
    }
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back((uint8_t)(digit_value(digits[i]) << 4 | digit_value(digits[i + 1])));
    return true;
}

uint32_t word_sum(uint32_t sum, uint64_t pos, const uint8_t* data, size_t len) {
    while (len && (pos & 3)) {
        sum += (uint32_t)*data++ << (8 * (pos & 3));
        pos++;
        len--;
    }
    for (; len >= 4; data += 4, len -= 4) sum += get_le32(data);
    for (unsigned shift = 0; len; len--, shift += 8) sum += (uint32_t)*data++ << shift;
    return sum;
}

}  // namespace board
