#pragma once
// File services: the file facts shown for a target, the existence check of
// the entry dialog, and the delete and move of the compaction run.
//
// Every operation either succeeds or throws FileError, whose message is the
// description shown to the user. FileSystem is an interface so that tests can
// make any step fail; FileSystemObject is the real one.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <stdexcept>

class FileError : public std::runtime_error {
  public:
    explicit FileError(const QString& description)
        : std::runtime_error(description.toStdString()), m_strDescription(description) {}
    const QString& Description() const { return m_strDescription; }

  private:
    QString m_strDescription;
};

// The facts of one file, read when GetFile succeeded.
class File {
  public:
    File(std::int64_t size, QDateTime lastModified)
        : m_nSize(size), m_dtLastModified(std::move(lastModified)) {}
    std::int64_t Size() const { return m_nSize; }
    QDateTime DateLastModified() const { return m_dtLastModified; }

  private:
    std::int64_t m_nSize;
    QDateTime m_dtLastModified;
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // The file at `path`; throws when no file exists there or it cannot be reached.
    virtual File GetFile(const QString& path) = 0;
    // True when a file (not a folder) exists at the path exactly as given.
    virtual bool FileExists(const QString& path) = 0;
    // Removes the file; with `force` false a read-only file is refused.
    virtual void DeleteFile(const QString& path, bool force) = 0;
    // Moves a file; a relative path is taken from the current working
    // directory. The destination must not exist, unless it is the file the
    // last DeleteFile removed.
    virtual void MoveFile(const QString& source, const QString& destination) = 0;
};

// The real file services. A delete followed by a move into the deleted
// file's place (the compaction run's replace) never leaves that path empty:
// DeleteFile checks that the file could be removed and keeps it where it is;
// the MoveFile into its place then puts the new file over it in one step,
// with the old file's owner, group and permission bits. A kill at any moment
// leaves the path holding the old file or the new one. A delete that no move
// follows leaves the file in place.
class FileSystemObject : public FileSystem {
  public:
    File GetFile(const QString& path) override;
    bool FileExists(const QString& path) override;
    void DeleteFile(const QString& path, bool force) override;
    void MoveFile(const QString& source, const QString& destination) override;

  private:
    // The file DeleteFile was asked to remove, and what it was like.
    struct Deleted {
        QString path;
        unsigned mode = 0;
        unsigned owner = 0;
        unsigned group = 0;
    };
    std::optional<Deleted> m_deleted;
};
