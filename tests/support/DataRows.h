#pragma once

#include <QTest>
#include <tuple>

namespace quillet::test {

// QTest::addColumn for each name in turn, typed by T...: Columns<QString, int>("path", "code").
template <typename... T, typename... Name>
void Columns(const Name&... names) {
  static_assert(sizeof...(T) == sizeof...(Name));
  (QTest::addColumn<T>(names), ...);
}

// One column of named rows: Rows<bool>("held", {{"held", true}, {"free", false}}).
template <typename T>
void Rows(const char* column, std::initializer_list<std::pair<const char*, T>> rows) {
  QTest::addColumn<T>(column);
  for (const auto& [name, value] : rows) QTest::newRow(name) << value;
}

// QFETCH for several columns: auto [path, code] = Fetch<QString, int>("path", "code").
template <typename... T, typename... Name>
std::tuple<T...> Fetch(const Name&... names) {
  static_assert(sizeof...(T) == sizeof...(Name));
  return {*static_cast<T*>(QTest::qData(names, qMetaTypeId<T>()))...};
}

}  // namespace quillet::test
