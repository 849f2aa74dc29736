#pragma once

#include <QString>
#include <QStringList>

namespace quillet {

// Converts a common-dialog filter, "Description|pattern[;pattern...][|Description|...]",
// into Qt name filters, "Description (pattern pattern...)", one per entry. Entries without
// a pattern are dropped. The patterns match names whatever their case, as they do on
// Windows: "*.MDB" lists both sales.mdb and Sales.Mdb.
QStringList NameFiltersFromVbFilter(const QString& vbFilter);

// One Windows wildcard pattern as a case-insensitive Qt wildcard: letters become
// bracket pairs ("*.MDB" -> "*.[mM][dD][bB]"), '[' and ']' stay literal, and characters
// a Qt name filter cannot carry (spaces, non-ASCII) match any one character.
QString CaseInsensitivePattern(const QString& windowsPattern);

}  // namespace quillet
