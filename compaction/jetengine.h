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
#include <stdexcept>

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

class JetEngine : public DatabaseEngine {
public:
    void CompactDatabase(const QString& source, const QString& destination) override;
};
