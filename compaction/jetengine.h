#pragma once
// JetEngine: the database engine as the compaction run sees it.
//
// CompactDatabase takes two connection strings, reads from each the path
// after "Data Source=" (up to its ";") and the password after
// "Jet OLEDB:Database Password=" (to the end of the string, so a password may
// hold ";" or "="), resolves a relative path against the current working
// directory and compacts with the engine in jet/. Every failure throws
// EngineError with a description.

#include <QString>
#include <optional>
#include <stdexcept>

#include "jet/compact/database_lock.h"

class EngineError : public std::runtime_error {
  public:
    explicit EngineError(const QString& description)
        : std::runtime_error(description.toStdString()), m_strDescription(description) {}
    const QString& Description() const { return m_strDescription; }

  private:
    QString m_strDescription;
};

class DatabaseEngine {
  public:
    virtual ~DatabaseEngine() = default;
    virtual void CompactDatabase(const QString& source, const QString& destination) = 0;
};

// After a compaction the engine keeps a lock on the source, until its next
// compaction or its end: the run replaces the database meanwhile, and a Jet
// client that opens it before then finds it in use.
class JetEngine : public DatabaseEngine {
  public:
    void CompactDatabase(const QString& source, const QString& destination) override;

  private:
    std::optional<jet::DatabaseLock> m_lock;
};

// What CompactDatabase reads from one connection string.
struct ConnectionTarget {
    QString dataSource;               // the path as written
    std::optional<QString> password;  // present when the string names one (may be empty)
};

// The path runs from "Data Source=" to the ";" that ends the string or that
// stands before "Jet OLEDB:Database Password=" (so a path may hold ";"); the
// password runs to the end of the string (so it may hold ";" and "=").
// Throws EngineError when the string names no data source.
ConnectionTarget ParseConnectionString(const QString& connection);

// A relative data source is taken from the current working directory.
QString ResolveDataSource(const QString& dataSource);
