#pragma once
// ProfileStore: the INI file store behind clsProfile, in the manner of the
// classic private-profile functions.
//
// File layout: lines; "[name]" opens a section (the name runs to the LAST
// "]", so a name may hold "]"); "key=value" lines up to the next heading are
// its keys (the first "=" separates, so values may hold "="). Every other
// line (comments, blank lines, lines that fit no pattern) is kept verbatim.
// Names match without regard to letter case. Values are taken exactly as they
// stand, blanks and quotation marks included, so what is written reads back
// unchanged; key names are compared without surrounding blanks.
//
// Text: UTF-8. A file that is not valid UTF-8 is read as Windows-1252 (or as
// UTF-16 when it starts with that byte-order mark) and written back as UTF-8
// on its next change. A file that is read and not
// changed is never rewritten; plain ASCII lines that are not touched keep
// their bytes, and the file's line ending (CR LF or LF) is kept.
//
// One store exists per file in the process (Open), shared by every clsProfile
// on that path, so two objects on one file see each other's writes. Writes
// change the store's copy of the file; Flush (all three texts absent, or the
// last holder letting go) writes it out: a new file beside the old one,
// flushed to disk and renamed over it, so the file is never half-written. A
// file the store creates is readable by its owner only (it holds passwords).
//
// Safety rules:
// - A write is refused (result 0) when the file or its directory cannot be
//   written, when the directory does not exist, when the existing file could
//   not be read (so an unreadable or oversized file is never overwritten), or
//   when a text would break the layout (a line break or NUL anywhere, a key
//   that is empty, holds "=" or starts with "[" or ";").
// - A file holding NUL bytes or other control characters (binary, damaged) is
//   read for what it holds; before its first rewrite the original bytes are
//   kept beside it as "<name>.damaged" (or .damaged.1, .damaged.2 ...).
// - A file larger than kMaxFileBytes is not read: reads give their defaults
//   and writes are refused.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// A text that may be absent (null), which is distinct from an empty text.
using OptText = std::optional<QString>;

class ProfileStore {
  public:
    static constexpr qint64 kMaxFileBytes = 64LL * 1024 * 1024;

    // The store for `path`, shared by everyone who asks for the same file
    // (compared by absolute path). An empty path gives a store on which every
    // read gives its default and every write fails.
    static std::shared_ptr<ProfileStore> Open(const QString& path);

    explicit ProfileStore(QString path);
    ~ProfileStore();  // writes pending changes
    ProfileStore(const ProfileStore&) = delete;
    ProfileStore& operator=(const ProfileStore&) = delete;

    // GetPrivateProfileString. `size` is the number of characters the buffer
    // offers (the buffer must hold at least that many).
    // - section and key given: the value (or `def`, absent = empty) then NUL;
    //   the count without the NUL; cut to size - 1 characters.
    // - section absent: every section name in file order, each followed by
    //   NUL, then one more NUL; the count excludes the last NUL. When the list
    //   does not fit, the last name that fits is cut, the list ends in two
    //   NULs and the count is size - 2.
    // - section given, key absent: the section's key names, in the same form.
    int GetString(const OptText& section, const OptText& key, const OptText& def, QChar* buffer,
                  int size);

    // GetPrivateProfileInt: the value's leading decimal number (an optional
    // sign and digits after leading blanks; limited to the 32-bit range), 0
    // when the value does not start with one, `defVal` when the file, section
    // or key does not exist or the value is empty.
    std::int32_t GetInt(const OptText& section, const OptText& key, std::int32_t defVal);

    // WritePrivateProfileString; non-zero on success.
    // - all given: set the key (replaced where it stands, else added at the
    //   end of its section; a new section goes after all others);
    // - data absent: delete the key; key absent: delete the section (its
    //   heading and every line up to the next heading);
    // - all absent: write pending changes to disk.
    int WriteString(const OptText& section, const OptText& key, const OptText& data);

    const QString& Path() const { return m_strPath; }

  private:
    struct Line {
        QString raw;    // the line as it stands in the file, without line end
        QString key;    // when isKey: the key name, without surrounding blanks
        QString value;  // when isKey: everything after the first "="
        bool isKey = false;
    };
    struct Section {
        QString raw;   // the heading line
        QString name;  // between the first "[" and the last "]"
        std::vector<Line> lines;
    };
    struct Stamp {
        bool exists = false;
        std::uint64_t dev = 0, ino = 0;
        std::int64_t size = 0, mtimeSec = 0, mtimeNsec = 0;
        bool operator==(const Stamp&) const = default;
    };

    bool Refresh();  // (re)reads the file when it changed on disk and nothing is pending
    void Parse(const QString& text);
    QByteArray Serialize() const;
    bool Flush();
    bool CanWrite() const;
    bool KeepDamagedCopy(const QString& target);
    Section* FindSection(const QString& name);
    static Line* FindKey(Section& section, const QString& key);

    QString m_strPath;
    std::mutex m_mutex;

    // The store's copy of the file.
    std::vector<QString> m_preamble;  // lines before the first heading
    std::vector<Section> m_sections;
    QString m_strEol = QStringLiteral("\n");
    bool m_bFinalEol = true;
    bool m_bBom = false;

    Stamp m_stamp;
    bool m_bLoaded = false;      // m_stamp describes what the copy was read from
    bool m_bReadable = true;     // false: the existing file could not be read
    bool m_bDamaged = false;     // the file held binary data
    QByteArray m_originalBytes;  // kept while damaged, for the copy before rewriting
    bool m_bDirty = false;
};

// Decoding of settings-file bytes: UTF-16 when the file starts with its
// byte-order mark; UTF-8 when valid (a leading byte-order mark is skipped and
// reported in `hadBom`); otherwise Windows-1252.
QString DecodeSettingsText(const QByteArray& bytes, bool* hadBom = nullptr);
