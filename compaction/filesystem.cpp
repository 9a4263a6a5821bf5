#include "compaction/filesystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

QString Cause(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void Fail(const QString& what, int error, const QString& advice = {}) {
    QString text = what + QStringLiteral(": ") + Cause(error) + u'.';
    if (!advice.isEmpty()) {
        text += u' ' + advice;
    }
    throw FileError(text);
}

QString Quoted(const QString& path) {
    return u'"' + path + u'"';
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void SyncDirectoryOf(const QString& path) {
    const QString dir = QFileInfo(path).absolutePath();
    const int fd = ::open(Native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// rename() that never replaces an existing destination. Returns 0 or an errno.
int RenameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // The file system cannot rename without replacing: a hard link fails on
    // an existing name just the same.
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    return errno;
}

// Gives the file open at `fd` the owner, group (where this process may set
// them) and permission bits of the file it replaces.
void TakeOver(int fd, unsigned mode, unsigned owner, unsigned group) {
    if (::fchown(fd, owner, group) != 0 && ::fchown(fd, static_cast<uid_t>(-1), group) != 0) {
        // Not allowed here: the file stays the process's.
    }
    ::fchmod(fd, mode & 07777);
}

// What a file that replaces another takes over from it.
struct Replaced {
    unsigned mode = 0;
    unsigned owner = 0;
    unsigned group = 0;
};

// Copies `source` into a new file beside `destination`, flushes it and
// renames it into place (over the file `replaced` describes, when given);
// on any failure the destination is as it was.
void CopyAcross(const QString& source, const QString& destination, const struct stat& srcStat,
                const std::optional<Replaced>& replaced) {
    const QString what = QStringLiteral("Cannot move ") + Quoted(source) + QStringLiteral(" to ") +
                         Quoted(destination);
    const int in = ::open(Native(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        Fail(what + QStringLiteral(" (reading the source)"), errno);
    }
    const QFileInfo dst(destination);
    QByteArray tmpl = Native(dst.absolutePath() + QStringLiteral("/.") + dst.fileName() +
                             QStringLiteral(".XXXXXX"));
    const int out = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        Fail(what + QStringLiteral(" (creating a file in ") + Quoted(dst.absolutePath()) + u')', e);
    }
    int error = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
            error = errno;
            break;
        }
    }
    if (error == 0 && replaced) {
        TakeOver(out, replaced->mode, replaced->owner, replaced->group);
    } else if (error == 0 && ::fchmod(out, srcStat.st_mode & 07777) != 0) {
        error = errno;
    }
    if (error == 0) {
        const struct timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
        ::futimens(out, times);
    }
    if (error == 0 && ::fsync(out) != 0) {
        error = errno;
    }
    if (::close(out) != 0 && error == 0) {
        error = errno;
    }
    ::close(in);
    if (error == 0) {
        if (!replaced) {
            error = RenameNoReplace(tmpl, Native(destination));
        } else if (::rename(tmpl.constData(), Native(destination).constData()) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        ::unlink(tmpl.constData());
        if (error == EEXIST) {
            throw FileError(what + QStringLiteral(": the destination already exists. Move or "
                                                  "rename it, then try again."));
        }
        Fail(what, error);
    }
    SyncDirectoryOf(destination);
    if (::unlink(Native(source).constData()) != 0) {
        Fail(QStringLiteral("Copied ") + Quoted(source) + QStringLiteral(" to ") +
                 Quoted(destination) + QStringLiteral(" but cannot remove the source"),
             errno, QStringLiteral("Both files now hold the same data; remove the source."));
    }
    SyncDirectoryOf(source);
}

}  // namespace

File FileSystemObject::GetFile(const QString& path) {
    struct stat st {};
    if (path.isEmpty()) {
        throw FileError(QStringLiteral("Cannot read the file facts: no path was given."));
    }
    if (::stat(Native(path).constData(), &st) != 0) {
        Fail(QStringLiteral("Cannot read the file ") + Quoted(path), errno);
    }
    if (S_ISDIR(st.st_mode)) {
        throw FileError(QStringLiteral("Cannot read the file ") + Quoted(path) +
                        QStringLiteral(": it is a folder, not a file."));
    }
    const qint64 ms = static_cast<qint64>(st.st_mtim.tv_sec) * 1000 +
                      static_cast<qint64>(st.st_mtim.tv_nsec / 1000000);
    return File(static_cast<std::int64_t>(st.st_size),
                QDateTime::fromMSecsSinceEpoch(ms).toLocalTime());
}

bool FileSystemObject::FileExists(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    struct stat st {};
    return ::stat(Native(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void FileSystemObject::DeleteFile(const QString& path, bool force) {
    const QString what = QStringLiteral("Cannot delete ") + Quoted(path);
    struct stat st {};
    if (path.isEmpty()) {
        throw FileError(QStringLiteral("Cannot delete a file: no path was given."));
    }
    if (::lstat(Native(path).constData(), &st) != 0) {
        Fail(what, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        throw FileError(what + QStringLiteral(": it is a folder, not a file."));
    }
    if (!force && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
        throw FileError(what + QStringLiteral(": the file is read-only. Give its owner write "
                                              "permission, then try again."));
    }
    // Removing a name needs write access to its folder: say so now, as the
    // unlink would.
    if (::access(Native(QFileInfo(path).absolutePath()).constData(), W_OK | X_OK) != 0) {
        Fail(what, errno);
    }
    // The file stays until the move into its place replaces it (see the
    // class comment); a symbolic link is no database and goes at once.
    if (S_ISLNK(st.st_mode)) {
        if (::unlink(Native(path).constData()) != 0) {
            Fail(what, errno);
        }
        return;
    }
    m_deleted = Deleted{path, st.st_mode, st.st_uid, st.st_gid};
}

void FileSystemObject::MoveFile(const QString& source, const QString& destination) {
    // The source by its full path: when the move fails, this says where the
    // file is.
    const QString what = QStringLiteral("Cannot move ") +
                         Quoted(QFileInfo(source).absoluteFilePath()) + QStringLiteral(" to ") +
                         Quoted(destination);
    if (source.isEmpty() || destination.isEmpty()) {
        throw FileError(what + QStringLiteral(": a path is empty."));
    }
    struct stat st {};
    if (::lstat(Native(source).constData(), &st) != 0) {
        Fail(what + QStringLiteral(" (the source)"), errno);
    }
    if (S_ISDIR(st.st_mode)) {
        throw FileError(what + QStringLiteral(": the source is a folder, not a file."));
    }
    if (m_deleted && m_deleted->path == destination) {
        // Into the place of the file deleted last: over it, in one step.
        const Replaced like{m_deleted->mode, m_deleted->owner, m_deleted->group};
        const int fd = ::open(Native(source).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            TakeOver(fd, like.mode, like.owner, like.group);
            ::close(fd);
        }
        if (::rename(Native(source).constData(), Native(destination).constData()) == 0) {
            m_deleted.reset();
            SyncDirectoryOf(destination);
            SyncDirectoryOf(source);
            return;
        }
        const int error = errno;
        if (error == EXDEV && S_ISREG(st.st_mode)) {
            CopyAcross(source, destination, st, like);
            m_deleted.reset();
            return;
        }
        Fail(what, error);
    }
    struct stat dst {};
    if (::lstat(Native(destination).constData(), &dst) == 0) {
        throw FileError(what + QStringLiteral(": the destination already exists. Move or rename "
                                              "it, then try again."));
    }
    const int error = RenameNoReplace(Native(source), Native(destination));
    if (error == 0) {
        SyncDirectoryOf(destination);
        return;
    }
    if (error == EXDEV && S_ISREG(st.st_mode)) {
        CopyAcross(source, destination, st, std::nullopt);
        return;
    }
    if (error == EEXIST) {
        throw FileError(what + QStringLiteral(": the destination already exists. Move or rename "
                                              "it, then try again."));
    }
    Fail(what, error);
}
