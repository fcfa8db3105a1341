#ifndef LIB_NUMBERS_H_
#define LIB_NUMBERS_H_

#include <climits>
#include <string_view>

// The integer at the start of `text` as atoi reads it: optional leading white
// space, an optional sign, then decimal digits; 0 when there are none. Unlike
// atoi it never overflows: values beyond int saturate at INT_MIN or INT_MAX.
inline int leading_int(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

#endif  // LIB_NUMBERS_H_
