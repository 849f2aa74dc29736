// The DAO and ADO objects as callers use them: properties, the open/closed life cycle,
// releasing the last reference, and the error numbers and texts of each interface.

#include <QTest>

#include "EngineTestUtil.h"

using namespace quillet;
using namespace quillet::test;

namespace {

const char kProviderNotFound[] = "Provider cannot be found. It may not be properly installed.";
const char kItemNotFound[] =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

}  // namespace

class EngineApiTest : public QObject {
  Q_OBJECT

 private slots:
  void unknownProviderFindsNothing_data();
  void unknownProviderFindsNothing();
  void unknownPropertyIsNotInTheCollection();
  void namesMatchWhateverTheirCase();
  void propertiesBeforeAndAfterOpen();
  void lockingModeTakesOnlyNumbers();
  void openAndCloseFollowTheObjectState();
  void releasingTheLastReferenceCloses();
  void databaseCloseTwiceIsAnInvalidObject();
  void idleValidatesItsArgument();
  void connectionStringNamesProviderAndProperties();
  void modeValuesAreChecked();
  void failuresCarryJetNumbersThroughDaoAndEFailThroughAdo();
};

void EngineApiTest::unknownProviderFindsNothing_data() {
  QTest::addColumn<QString>("provider");
  QTest::newRow("none set") << QString();
  QTest::newRow("ACE") << QStringLiteral("Microsoft.ACE.OLEDB.12.0");
  QTest::newRow("Jet 3.51") << QStringLiteral("Microsoft.Jet.OLEDB.3.51");
  QTest::newRow("trailing space") << QStringLiteral("Microsoft.JET.OLEDB.4.0 ");
}

void EngineApiTest::unknownProviderFindsNothing() {
  QFETCH(QString, provider);
  TempFolder folder;
  const std::string path = folder.database("p.mdb");
  Connection connection;
  if (!provider.isNull()) connection.SetProvider(provider.toStdString());

  Status status = connection.SetProperty(kPropDataSource, path);
  QCOMPARE(status.number(), adErrProviderNotFound);
  PropertyValue value;
  QCOMPARE(connection.GetProperty(kPropLockingMode, &value).number(), adErrProviderNotFound);
  status = connection.Open();
  QCOMPARE(status.number(), adErrProviderNotFound);
  QCOMPARE(QString::fromStdString(status.description()), QString::fromLatin1(kProviderNotFound));
  QVERIFY(!connection.IsOpen());
  QVERIFY(!Exists(folder.file("p.ldb")));
}

void EngineApiTest::unknownPropertyIsNotInTheCollection() {
  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  for (const char* name : {"Data Sourc", "Jet OLEDB:Database Locking", "", "Mode"}) {
    Status status = connection.SetProperty(name, int32_t{1});
    QCOMPARE(status.number(), adErrItemNotFound);
    QCOMPARE(QString::fromStdString(status.description()), QString::fromLatin1(kItemNotFound));
    PropertyValue value;
    QCOMPARE(connection.GetProperty(name, &value).number(), adErrItemNotFound);
  }
}

void EngineApiTest::namesMatchWhateverTheirCase() {
  TempFolder folder;
  const std::string path = folder.database("case.mdb");
  Connection connection;
  connection.SetProvider("microsoft.jet.oledb.4.0");
  QVERIFY(connection.SetProperty("DATA SOURCE", path).ok());
  QVERIFY(connection.SetProperty("jet oledb:database locking mode", int32_t{1}).ok());
  QVERIFY(connection.Open().ok());
  PropertyValue value;
  QVERIFY(connection.GetProperty("Jet OLEDB:DATABASE Locking Mode", &value).ok());
  QCOMPARE(std::get<int32_t>(value), 1);
}

void EngineApiTest::propertiesBeforeAndAfterOpen() {
  TempFolder folder;
  const std::string path = folder.database("props.mdb");
  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  QCOMPARE(ModeOf(connection), 0);  // the default
  PropertyValue value;
  QVERIFY(connection.GetProperty(kPropDataSource, &value).ok());
  QCOMPARE(std::get<std::string>(value), std::string());

  QVERIFY(connection.SetProperty(kPropDataSource, path).ok());
  QVERIFY(connection.SetProperty(kPropLockingMode, int32_t{1}).ok());
  QVERIFY(connection.GetProperty(kPropDataSource, &value).ok());
  QCOMPARE(std::get<std::string>(value), path);

  DatabasePtr first;
  QVERIFY(OpenDao(path, &first).ok());
  QVERIFY(connection.Open().ok());
  QCOMPARE(ModeOf(connection), 0);  // joined the page-level session
  QCOMPARE(connection.SetProperty(kPropLockingMode, int32_t{1}).number(), adErrObjectOpen);
  QCOMPARE(connection.SetProperty(kPropDataSource, std::string("/elsewhere")).number(), adErrObjectOpen);
  QVERIFY(connection.Close().ok());
  QCOMPARE(ModeOf(connection), 1);  // closed: what was asked, again
}

void EngineApiTest::lockingModeTakesOnlyNumbers() {
  Connection connection;
  connection.SetProvider(kJetOleDbProvider);
  QVERIFY(connection.SetProperty(kPropLockingMode, std::string(" 1 ")).ok());
  QCOMPARE(ModeOf(connection), 1);
  const Status wrong = connection.SetProperty(kPropLockingMode, std::string("record"));
  QCOMPARE(wrong.number(), adErrDataConversion);
  QCOMPARE(ModeOf(connection), 1);
}

void EngineApiTest::openAndCloseFollowTheObjectState() {
  TempFolder folder;
  const std::string path = folder.database("state.mdb");
  Connection connection;

  Status status = connection.Close();
  QCOMPARE(status.number(), adErrObjectClosed);
  QCOMPARE(QString::fromStdString(status.description()),
           QStringLiteral("Operation is not allowed when the object is closed."));

  QVERIFY(OpenAdo(connection, path, 1).ok());
  status = connection.Open();
  QCOMPARE(status.number(), adErrObjectOpen);
  QCOMPARE(QString::fromStdString(status.description()),
           QStringLiteral("Operation is not allowed when the object is open."));
  QCOMPARE(connection.SetProvider("Other").number(), adErrObjectOpen);
  QCOMPARE(connection.SetMode(adModeShareExclusive).number(), adErrObjectOpen);
  QVERIFY(connection.IsOpen());

  QVERIFY(connection.Close().ok());
  QVERIFY(!Exists(folder.file("state.ldb")));
  QCOMPARE(connection.Close().number(), adErrObjectClosed);
  QVERIFY(connection.Open().ok());  // a closed connection may be opened again
}

void EngineApiTest::releasingTheLastReferenceCloses() {
  TempFolder folder;
  const std::string path = folder.database("release.mdb");
  const std::string lockFile = folder.file("release.ldb");
  {
    auto connection = std::make_unique<Connection>();
    QVERIFY(OpenAdo(*connection, path, 1).ok());
    QVERIFY(Exists(lockFile));
  }
  QVERIFY(!Exists(lockFile));

  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  DatabasePtr alias = database;
  database.reset();
  QVERIFY(Exists(lockFile));  // another reference keeps it open
  alias.reset();
  QVERIFY(!Exists(lockFile));
  DatabasePtr exclusive;
  QVERIFY(OpenDao(path, &exclusive, true).ok());  // nobody is left holding it
}

void EngineApiTest::databaseCloseTwiceIsAnInvalidObject() {
  TempFolder folder;
  const std::string path = folder.database("twice.mdb");
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QVERIFY(database->IsOpen());
  QVERIFY(database->Close().ok());
  QVERIFY(!database->IsOpen());
  QCOMPARE(database->Name(), path);  // the name outlives the connection
  const Status again = database->Close();
  QCOMPARE(again.number(), 3420);
  QCOMPARE(QString::fromStdString(again.description()), QStringLiteral("Object invalid or no longer set."));
}

void EngineApiTest::idleValidatesItsArgument() {
  TempFolder folder;
  const std::string path = folder.database("idle.mdb");
  DatabasePtr database;
  QVERIFY(OpenDao(path, &database).ok());
  QVERIFY(DBEngine::Instance().Idle(dbFreeLocks).ok());
  QVERIFY(database->IsOpen());  // freeing locks does not let go of open databases
  QVERIFY(Exists(folder.file("idle.ldb")));
  QCOMPARE(DBEngine::Instance().Idle(2).number(), 3001);
}

void EngineApiTest::connectionStringNamesProviderAndProperties() {
  TempFolder folder;
  const std::string path = folder.database("cs.mdb");
  Connection connection;
  QVERIFY(connection.Open("Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" + path +
                          ";Jet OLEDB:Database Locking Mode=1;").ok());
  QCOMPARE(ModeOf(connection), 1);
  QCOMPARE(connection.Provider(), std::string("Microsoft.Jet.OLEDB.4.0"));

  Connection unknownKey;
  unknownKey.SetProvider(kJetOleDbProvider);
  const Status status = unknownKey.Open("Data Source=" + path + ";Colour=blue");
  QCOMPARE(status.number(), kAdoProviderError);
  QCOMPARE(QString::fromStdString(status.description()), QStringLiteral("Could not find installable ISAM."));
  QVERIFY(!unknownKey.IsOpen());
}

void EngineApiTest::modeValuesAreChecked() {
  Connection connection;
  QCOMPARE(connection.SetMode(-5).number(), adErrInvalidArgument);
  QCOMPARE(connection.SetMode(0x40).number(), adErrInvalidArgument);
  QVERIFY(connection.SetMode(adModeShareExclusive | adModeRead).ok());
}

void EngineApiTest::failuresCarryJetNumbersThroughDaoAndEFailThroughAdo() {
  TempFolder folder;
  const std::string missing = folder.file("missing.mdb");
  DatabasePtr database;
  const Status dao = OpenDao(missing, &database);
  QCOMPARE(dao.number(), 3024);
  Connection connection;
  const Status ado = OpenAdo(connection, missing, 1);
  QCOMPARE(ado.number(), kAdoProviderError);
  QCOMPARE(ado.description(), dao.description());
  QCOMPARE(QString::fromStdString(dao.description()),
           QString::fromStdString("Could not find file '" + missing + "'."));

  // A failed open leaves the caller's handle as it was.
  const std::string path = folder.database("present.mdb");
  QVERIFY(OpenDao(path, &database).ok());
  DatabasePtr before = database;
  QCOMPARE(OpenDao(missing, &database).number(), 3024);
  QCOMPARE(database, before);
}

QTEST_GUILESS_MAIN(EngineApiTest)
#include "EngineApiTest.moc"
