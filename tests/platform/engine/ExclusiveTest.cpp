// Exclusive opens: refused while anyone else is there, and while one is held nobody else
// gets in, through either interface, from this process or another.

#include <QTest>

#include "EngineTestUtil.h"
#include "app/LockingProbe.h"

using namespace quillet;
using namespace quillet::test;

namespace {

std::string InUse(const std::string& path) {
  return "Could not use '" + path + "'; file already in use.";
}

// Every kind of open that must fail while someone holds the file exclusively, or, for the
// exclusive kinds, while anyone at all holds it.
void ExpectEveryOpenRefused(const std::string& path, bool alsoShared) {
  struct Kind {
    bool ado;
    bool exclusive;
  };
  for (const Kind kind : {Kind{false, false}, Kind{true, false}, Kind{false, true}, Kind{true, true}}) {
    if (!kind.exclusive && !alsoShared) continue;
    Status status;
    if (kind.ado) {
      Connection connection;
      status = OpenAdo(connection, path, 1, kind.exclusive ? adModeShareExclusive : adModeUnknown);
      QCOMPARE(status.number(), kAdoProviderError);
    } else {
      DatabasePtr database;
      status = OpenDao(path, &database, kind.exclusive);
      QCOMPARE(status.number(), 3045);
    }
    QCOMPARE(QByteArray::fromStdString(status.description()), QByteArray::fromStdString(InUse(path)));
  }
}

}  // namespace

class ExclusiveTest : public QObject {
  Q_OBJECT

 private slots:
  void exclusiveOpenShutsEveryoneOut();
  void exclusiveOpenIsRefusedWhileAnyoneIsThere();
  void otherProcessHoldingExclusively();
  void otherProcessCannotOpenWhileWeHoldExclusively();
  void exclusiveAdoOpenerKeepsTheModeItAskedFor();
  void readOnlyExclusiveOpen();
};

void ExclusiveTest::exclusiveOpenShutsEveryoneOut() {
  TempFolder folder;
  const std::string path = folder.database("alone.mdb");

  DatabasePtr exclusive;
  QVERIFY(OpenDao(path, &exclusive, true).ok());
  QVERIFY(!Exists(folder.file("alone.ldb")));  // an exclusive open needs no lock file
  ExpectEveryOpenRefused(path, true);
  QCOMPARE(GetLockingMode(exclusive), -1);  // the probe cannot get in either

  QVERIFY(exclusive->Close().ok());
  DatabasePtr shared;
  QVERIFY(OpenDao(path, &shared).ok());
  QCOMPARE(GetLockingMode(shared), 0);
}

void ExclusiveTest::exclusiveOpenIsRefusedWhileAnyoneIsThere() {
  TempFolder folder;
  const std::string path = folder.database("crowded.mdb");
  {
    DatabasePtr shared;
    QVERIFY(OpenDao(path, &shared).ok());
    ExpectEveryOpenRefused(path, false);
    QCOMPARE(GetLockingMode(shared), 0);  // refused exclusive openers changed nothing
  }
  {
    Connection shared;
    QVERIFY(OpenAdo(shared, path, 1).ok());
    ExpectEveryOpenRefused(path, false);
    QCOMPARE(ModeOf(shared), 1);
  }
  QVERIFY(!Exists(folder.file("crowded.ldb")));
  DatabasePtr exclusive;
  QVERIFY(OpenDao(path, &exclusive, true).ok());
}

void ExclusiveTest::otherProcessHoldingExclusively() {
  TempFolder folder;
  const std::string path = folder.database("theirs.mdb");

  OtherProcess other({"hold", path, "--exclusive"});
  const std::optional<std::string> line = other.firstLine();
  QVERIFY(line.has_value());
  QCOMPARE(*line, "holding " + path + " in Page Level mode (exclusive)");
  ExpectEveryOpenRefused(path, true);

  OtherProcess check({"check", path});
  QCOMPARE(check.wait(), 1);
  QCOMPARE(check.standardError(), "error 3045: " + InUse(path) + "\n");

  QCOMPARE(other.stop(), 0);
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
}

void ExclusiveTest::otherProcessCannotOpenWhileWeHoldExclusively() {
  TempFolder folder;
  const std::string path = folder.database("mine.mdb");
  Connection exclusive;
  QVERIFY(OpenAdo(exclusive, path, 1, adModeShareExclusive).ok());

  OtherProcess dao({"hold", path, "--page"});
  QCOMPARE(dao.wait(), 1);
  QCOMPARE(dao.standardError(), "error 3045: " + InUse(path) + "\n");
  OtherProcess ado({"hold", path, "--record"});
  QCOMPARE(ado.wait(), 1);
  QCOMPARE(ado.standardError(), "error -2147467259: " + InUse(path) + "\n");
}

void ExclusiveTest::exclusiveAdoOpenerKeepsTheModeItAskedFor() {
  TempFolder folder;
  const std::string path = folder.database("asked.mdb");
  for (int32_t asked : {0, 1}) {
    Connection exclusive;
    QVERIFY(OpenAdo(exclusive, path, asked, adModeShareExclusive).ok());
    QCOMPARE(ModeOf(exclusive), asked);
  }
}

// With write access to the database, a read-only exclusive open behaves like any other
// exclusive open (the cross-user case without write access is in the lock-file tests).
void ExclusiveTest::readOnlyExclusiveOpen() {
  TempFolder folder;
  const std::string path = folder.database("reader.mdb");
  {
    DatabasePtr reader;
    QVERIFY(OpenDao(path, &reader, true, true).ok());
    ExpectEveryOpenRefused(path, true);
    Connection adoReader;
    QCOMPARE(OpenAdo(adoReader, path, 0, adModeShareExclusive | adModeRead).number(), kAdoProviderError);
  }
  DatabasePtr shared;
  QVERIFY(OpenDao(path, &shared).ok());
  DatabasePtr reader;
  QCOMPARE(OpenDao(path, &reader, true, true).number(), 3045);
}

QTEST_GUILESS_MAIN(ExclusiveTest)
#include "ExclusiveTest.moc"
