#include "platform/dshow/RefTime.h"

#include <cinttypes>
#include <cstdio>

std::string RefTimeText(REFERENCE_TIME t) {
  // The magnitude as unsigned: the smallest 64-bit value has no positive.
  const uint64_t units = t < 0 ? 0 - static_cast<uint64_t>(t) : static_cast<uint64_t>(t);
  const uint64_t ms = units / 10000;
  char text[48];
  std::snprintf(text, sizeof(text), "%s%" PRIu64 ":%02u:%02u.%03u", t < 0 ? "-" : "", ms / 3600000,
                static_cast<unsigned>(ms / 60000 % 60), static_cast<unsigned>(ms / 1000 % 60),
                static_cast<unsigned>(ms % 1000));
  return text;
}

REFERENCE_TIME AddRefTimes(REFERENCE_TIME a, REFERENCE_TIME b) {
  REFERENCE_TIME r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r;
}
