#include <QDir>

#include "compaction/jetengine.h"

namespace {
const QString kDataSource = QStringLiteral("Data Source=");
const QString kPassword = QStringLiteral("Jet OLEDB:Database Password=");
}  // namespace

ConnectionTarget ParseConnectionString(const QString& connection) {
    const qsizetype at = connection.indexOf(kDataSource, 0, Qt::CaseInsensitive);
    if (at < 0) {
        throw EngineError(QStringLiteral(
            "The connection string names no database: \"Data Source=\" is missing."));
    }
    const QString rest = connection.mid(at + kDataSource.size());
    ConnectionTarget target;
    const qsizetype pw = rest.indexOf(u';' + kPassword, 0, Qt::CaseInsensitive);
    if (pw >= 0) {
        target.dataSource = rest.left(pw);
        target.password = rest.mid(pw + 1 + kPassword.size());
    } else {
        target.dataSource = rest.endsWith(u';') ? rest.chopped(1) : rest;
    }
    if (target.dataSource.isEmpty()) {
        throw EngineError(
            QStringLiteral("The connection string names no database: \"Data Source=\" is empty."));
    }
    return target;
}

QString ResolveDataSource(const QString& dataSource) {
    return QDir::cleanPath(QDir::current().absoluteFilePath(dataSource));
}
