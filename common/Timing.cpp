#include "common/Timing.h"

#include <QDate>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>

#include "platform/uiservices/UiServices.h"

namespace quillet {
namespace {

// Day numbers are VB date serials: days counted from 30 December 1899.
const qint64 kSerialEpochJulianDay = QDate(1899, 12, 30).toJulianDay();

// The longest sleep between two looks at the wall clock. Short enough that a clock set
// forward still ends the wait promptly; long enough that the wait costs next to nothing.
constexpr double kLongestSliceMs = 50.0;

std::function<QDateTime()>& TimeStampClock() {
  static std::function<QDateTime()> clock;
  return clock;
}

QDateTime LocalNow() {
  const auto& clock = TimeStampClock();
  return clock ? clock().toLocalTime() : QDateTime::currentDateTime();
}

}  // namespace

void SetTimeStampClock(std::function<QDateTime()> clock) { TimeStampClock() = std::move(clock); }

TimeStamp GetTimeStamp() {
  // One reading of the clock gives both fields, date first. Two readings could pair one
  // day's date with the next day's time at the stroke of midnight, which would put the
  // stamp a whole day in the past and end a wait started then at once.
  const QDateTime now = LocalNow();
  TimeStamp stamp;
  stamp.Days = static_cast<int32_t>(now.date().toJulianDay() - kSerialEpochJulianDay);
  stamp.Seconds = static_cast<float>(now.time().msecsSinceStartOfDay() / 1000.0);
  return stamp;
}

double SecondsSince(const TimeStamp& stamp) {
  const TimeStamp now = GetTimeStamp();
  // The day difference is taken in 64 bits: the same result as a 32-bit subtraction for
  // every real date, without overflow for a clock that returns nonsense.
  const int64_t days = int64_t{now.Days} - int64_t{stamp.Days};
  return static_cast<double>(days) * 86400.0 +
         (static_cast<double>(now.Seconds) - static_cast<double>(stamp.Seconds));
}

void WaitSeconds(UiServices& ui, double seconds) {
  // Nothing to wait for (NaN included): return before any event is processed.
  if (!(seconds > 0.0)) return;

  const TimeStamp start = GetTimeStamp();
  QElapsedTimer monotonic;
  monotonic.start();

  // The wall clock decides when the time has passed, as callers expect; the monotonic
  // clock caps the wait, so a wall clock set back (or a daylight-saving change) cannot
  // stretch it. Between the tests the thread sleeps in the event loop instead of spinning.
  for (;;) {
    const double wallElapsed = SecondsSince(start);
    if (wallElapsed >= seconds) return;
    const double monotonicLeft = seconds - static_cast<double>(monotonic.nsecsElapsed()) / 1e9;
    if (monotonicLeft <= 0.0) return;

    const double leftMs = std::min(monotonicLeft, seconds - wallElapsed) * 1000.0;
    const double sliceMs = std::clamp(std::ceil(leftMs), 1.0, kLongestSliceMs);
    ui.WaitForEvents(static_cast<int>(sliceMs));
  }
}

}  // namespace quillet
