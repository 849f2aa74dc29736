#include "common/ErrorReport.h"

#include "platform/uiservices/UiServices.h"
#include "platform/vb/ErrObject.h"
#include "platform/vb/StandardErrorText.h"

namespace quillet {
namespace {

// Removes leading and trailing space characters only; tabs and line feeds are kept, as
// VB's Trim does.
QString TrimSpaces(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text.at(first) == u' ') ++first;
  while (last > first && text.at(last - 1) == u' ') --last;
  return text.mid(first, last - first);
}

}  // namespace

void ReportError(UiServices& ui, const QString& task, int32_t errorNumber) {
  // Handlers that run while the box is up may touch the current error; the caller reads
  // it after the report, so it is put back as it was.
  const ErrObject errorAsFound = Err();

  const int pointerAsFound = ui.ScreenMousePointer();
  ui.SetScreenMousePointer(vbDefault);

  QString message = QStringLiteral("There was a problem ") + TrimSpaces(task);
  if (errorNumber != 0) {
    QString description = TrimSpaces(StandardErrorText(errorNumber));
    if (description.isEmpty() && errorAsFound.Number == errorNumber) {
      description = errorAsFound.Description;
    }
    // The number shown is the one being reported, which is the number the description
    // belongs to.
    message += QStringLiteral(" and the error's description was reported as : ") +
               QStringLiteral("\n\n") + u'"' + description + u'"' + QStringLiteral(" (") +
               QString::number(errorNumber) + u')';
  }

  ui.MsgBox(message, vbExclamation);

  ui.SetScreenMousePointer(pointerAsFound);
  Err() = errorAsFound;
}

}  // namespace quillet
