#include "compaction/jetengine.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include <sys/stat.h>

#include "compaction/compactionrun.h"
#include "jet/compact/compact.h"
#include "jet/format/error.h"

namespace {

std::filesystem::path NativePath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

std::optional<std::string> Password(const std::optional<QString>& password) {
    if (!password || password->isEmpty()) {
        return std::nullopt;
    }
    return password->toStdString();
}

}  // namespace

void JetEngine::CompactDatabase(const QString& source, const QString& destination) {
    const ConnectionTarget from = ParseConnectionString(source);
    const ConnectionTarget to = ParseConnectionString(destination);
    const QString fromPath = ResolveDataSource(from.dataSource);
    const QString toPath = ResolveDataSource(to.dataSource);

    // A leftover destination may be the only copy of a database whose move
    // failed in an earlier run: it is never overwritten.
    struct stat st {};
    if (::lstat(QFile::encodeName(toPath).constData(), &st) == 0) {
        throw EngineError(QStringLiteral("Cannot compact into \"") + toPath +
                          QStringLiteral("\": the file already exists. It may be the only copy "
                                         "of a database from an earlier run that failed; move or "
                                         "rename it, then try again."));
    }
    m_lock.reset();
    jet::CompactOptions options;
    options.source_password = Password(from.password);
    options.destination_password = Password(to.password);
    try {
        jet::compact(NativePath(fromPath), NativePath(toPath), options);
    } catch (const jet::Error& e) {
        throw EngineError(QString::fromStdString(e.what()));
    } catch (const std::filesystem::filesystem_error& e) {
        throw EngineError(QStringLiteral("Cannot compact \"") + fromPath + QStringLiteral("\": ") +
                          QString::fromStdString(e.code().message()) + u'.');
    }
    try {
        m_lock.emplace(NativePath(fromPath));
    } catch (const jet::Error&) {
        // Opened by someone just now: the replace goes ahead as the run says;
        // it swaps the file in one step, and that program keeps the old one.
    }
}

CompactionRun::CompactionRun(RunView& view, MessageBoxes& boxes)
    : CompactionRun(
          view, boxes, [] { return std::make_unique<JetEngine>(); },
          [] { return std::make_unique<FileSystemObject>(); }) {}
