#pragma once

#include <QDateTime>
#include <cstdint>
#include <functional>

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

// The wall clock time stamps read (local date and time); tests move it across midnight or
// set it back. An empty function restores the system clock.
void SetTimeStampClock(std::function<QDateTime()> clock);

}  // namespace quillet
