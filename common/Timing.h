#pragma once

#include <cstdint>

namespace quillet {

class UiServices;

struct TimeStamp {
  int32_t Days = 0;      // the local date as a day number
  float Seconds = 0.0f;  // seconds since local midnight
};

TimeStamp GetTimeStamp();
double SecondsSince(const TimeStamp& stamp);

// Returns once the seconds have passed, processing window events meanwhile. Returns at
// once, without processing any event, for 0 or fewer seconds.
void WaitSeconds(UiServices& ui, double seconds);

}  // namespace quillet
