#pragma once

#include <QString>
#include <cstdint>

namespace quillet {

class UiServices;

// Shows the standard report of a failed task ("There was a problem <task> ...") with the
// default screen pointer, and waits until it is dismissed.
void ReportError(UiServices& ui, const QString& task, int32_t errorNumber);

}  // namespace quillet
