#include "settings/profilestore.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes 0x80..0x9F of Windows-1252; the five unassigned ones map to the C1
// control with the same number, as Windows itself does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString DecodeCp1252(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b <= 0x9F) {
            text.append(QChar(kCp1252High[b - 0x80]));
        } else {
            text.append(QChar(static_cast<char16_t>(b)));
        }
    }
    return text;
}

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QString TrimBlanks(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && IsBlank(s[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(s[end - 1])) {
        --end;
    }
    return s.mid(begin, end - begin);
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Binary or damaged content: NUL and control characters other than tab, CR, LF.
bool LooksDamaged(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 0x20 && c != u'\t' && c != u'\r' && c != u'\n';
    });
}

bool HasLineBreakOrNul(const QString& s) {
    return s.contains(u'\n') || s.contains(u'\r') || s.contains(QChar(0));
}

// A heading: optional blanks, "[", the name, the last "]" of the line.
std::optional<QString> HeadingName(const QString& line) {
    qsizetype i = 0;
    while (i < line.size() && IsBlank(line[i])) {
        ++i;
    }
    if (i >= line.size() || line[i] != u'[' || line.contains(QChar(0))) {
        return std::nullopt;
    }
    const qsizetype close = line.lastIndexOf(u']');
    if (close <= i) {
        return std::nullopt;
    }
    return line.mid(i + 1, close - i - 1);
}

// Copies a list of names into a profile buffer: each followed by NUL, then
// one more NUL. Returns the count without the final NUL, or size - 2 when
// the list had to be cut.
int CopyNameList(const std::vector<QString>& names, QChar* buffer, int size) {
    if (size <= 0) {
        return 0;
    }
    if (size == 1) {
        buffer[0] = QChar(0);
        return 0;
    }
    qsizetype needed = 1;
    for (const QString& name : names) {
        needed += name.size() + 1;
    }
    if (names.empty()) {
        buffer[0] = QChar(0);
        buffer[1] = QChar(0);
        return 0;
    }
    if (needed <= size) {
        qsizetype at = 0;
        for (const QString& name : names) {
            std::copy(name.begin(), name.end(), buffer + at);
            at += name.size();
            buffer[at++] = QChar(0);
        }
        buffer[at] = QChar(0);
        return static_cast<int>(at);
    }
    // Fill size - 2 characters with the list as far as it goes, then two NULs.
    const qsizetype room = size - 2;
    qsizetype at = 0;
    for (const QString& name : names) {
        if (at >= room) {
            break;
        }
        const qsizetype take = std::min(name.size(), room - at);
        std::copy(name.begin(), name.begin() + take, buffer + at);
        at += take;
        if (at < room) {
            buffer[at++] = QChar(0);
        }
    }
    buffer[room] = QChar(0);
    buffer[room + 1] = QChar(0);
    return static_cast<int>(room);
}

int CopyValue(const QString& value, QChar* buffer, int size) {
    if (size <= 0) {
        return 0;
    }
    const qsizetype take = std::min(value.size(), static_cast<qsizetype>(size) - 1);
    std::copy(value.begin(), value.begin() + take, buffer);
    buffer[take] = QChar(0);
    return static_cast<int>(take);
}

QString AbsoluteKey(const QString& path) {
    return QFileInfo(path).absoluteFilePath();
}

// The file a write must replace: a symbolic link is followed so that the link
// itself stays in place.
QString WriteTarget(const QString& path) {
    QFileInfo info(path);
    if (info.isSymLink()) {
        const QString target = info.symLinkTarget();
        if (!target.isEmpty()) {
            return target;
        }
    }
    return info.absoluteFilePath();
}

bool Writable(const QByteArray& native, const struct stat& st) {
    if (::access(native.constData(), W_OK) != 0) {
        return false;
    }
    // The superuser passes access() everywhere; still honour a file or folder
    // that nobody may write.
    return ::geteuid() != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

bool WriteAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void SyncDirectory(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes `bytes` to a new file beside `target` and renames it over `target`.
// The new file keeps `mode` (0600 for a file that did not exist).
bool ReplaceFile(const QString& target, const QByteArray& bytes, mode_t mode) {
    const QFileInfo info(target);
    const QString dir = info.absolutePath();
    QByteArray tmpl =
        QFile::encodeName(dir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        ok = ::rename(tmpl.constData(), QFile::encodeName(target).constData()) == 0;
    }
    if (!ok) {
        ::unlink(tmpl.constData());
        return false;
    }
    SyncDirectory(dir);
    return true;
}

std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}

std::map<QString, std::weak_ptr<ProfileStore>>& Registry() {
    static std::map<QString, std::weak_ptr<ProfileStore>> r;
    return r;
}

}  // namespace

QString DecodeSettingsText(const QByteArray& bytes, bool* hadBom) {
    if (hadBom != nullptr) {
        *hadBom = false;
    }
    // A file saved as "Unicode" by a Windows editor: UTF-16 with its mark.
    // It is read whole and written back as UTF-8.
    const bool utf16le = bytes.startsWith("\xFF\xFE");
    if (utf16le || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(utf16le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
                             QStringConverter::Flag::Stateless);
        QString text = utf16.decode(bytes.mid(2));
        if (!utf16.hasError()) {
            return text;
        }
    }
    QByteArray body = bytes;
    const bool bom = body.startsWith("\xEF\xBB\xBF");
    if (bom) {
        body.remove(0, 3);
    }
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(body);
    if (!utf8.hasError()) {
        if (hadBom != nullptr) {
            *hadBom = bom;
        }
        return text;
    }
    return DecodeCp1252(bytes);
}

std::shared_ptr<ProfileStore> ProfileStore::Open(const QString& path) {
    if (path.isEmpty()) {
        return std::make_shared<ProfileStore>(QString());
    }
    const QString key = AbsoluteKey(path);
    std::lock_guard lock(RegistryMutex());
    auto& registry = Registry();
    if (auto it = registry.find(key); it != registry.end()) {
        if (auto existing = it->second.lock()) {
            return existing;
        }
    }
    auto store = std::make_shared<ProfileStore>(key);
    registry[key] = store;
    // Drop entries whose stores are gone, so the map stays small.
    std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
    return store;
}

ProfileStore::ProfileStore(QString path) : m_strPath(std::move(path)) {}

ProfileStore::~ProfileStore() {
    std::lock_guard lock(m_mutex);
    Flush();
}

bool ProfileStore::Refresh() {
    if (m_strPath.isEmpty()) {
        m_bReadable = false;
        return false;
    }
    if (m_bDirty) {
        return true;  // our pending changes win
    }
    const QByteArray native = QFile::encodeName(m_strPath);
    struct stat st {};
    Stamp now;
    if (::stat(native.constData(), &st) == 0) {
        now.exists = true;
        now.dev = static_cast<std::uint64_t>(st.st_dev);
        now.ino = static_cast<std::uint64_t>(st.st_ino);
        now.size = static_cast<std::int64_t>(st.st_size);
        now.mtimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
        now.mtimeNsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        m_bReadable = false;
        m_bLoaded = false;
        return false;
    }
    if (m_bLoaded && now == m_stamp) {
        return m_bReadable;
    }

    m_preamble.clear();
    m_sections.clear();
    m_strEol = QStringLiteral("\n");
    m_bFinalEol = true;
    m_bBom = false;
    m_bDamaged = false;
    m_originalBytes.clear();
    m_stamp = now;
    m_bLoaded = true;
    m_bReadable = true;
    if (!now.exists) {
        return true;
    }
    if (!S_ISREG(st.st_mode) || now.size > kMaxFileBytes) {
        m_bReadable = false;
        return false;
    }
    QFile file(m_strPath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_bReadable = false;
        return false;
    }
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > kMaxFileBytes) {
        m_bReadable = false;
        return false;
    }
    const QString text = DecodeSettingsText(bytes, &m_bBom);
    m_bDamaged = LooksDamaged(text);
    if (m_bDamaged) {
        m_originalBytes = bytes;
    }
    Parse(text);
    return true;
}

void ProfileStore::Parse(const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    const qsizetype firstLf = text.indexOf(u'\n');
    m_strEol =
        (firstLf > 0 && text[firstLf - 1] == u'\r') ? QStringLiteral("\r\n") : QStringLiteral("\n");
    m_bFinalEol = text.endsWith(u'\n');
    QStringList lines = text.split(u'\n');
    if (m_bFinalEol) {
        lines.removeLast();  // the empty piece after the final line end
    }
    Section* current = nullptr;
    for (QString& raw : lines) {
        if (raw.endsWith(u'\r')) {
            raw.chop(1);
        }
        if (auto name = HeadingName(raw)) {
            m_sections.push_back(Section{raw, *name, {}});
            current = &m_sections.back();
            continue;
        }
        if (current == nullptr) {
            m_preamble.push_back(raw);
            continue;
        }
        Line line{raw, {}, {}, false};
        const qsizetype eq = raw.indexOf(u'=');
        if (eq > 0 && !raw.contains(QChar(0))) {
            const QString key = TrimBlanks(raw.left(eq));
            if (!key.isEmpty() && !key.startsWith(u';') && !key.startsWith(u'#')) {
                line.key = key;
                line.value = raw.mid(eq + 1);
                line.isKey = true;
            }
        }
        current->lines.push_back(std::move(line));
    }
}

QByteArray ProfileStore::Serialize() const {
    QString text;
    qsizetype count = 0;
    auto add = [&](const QString& line) {
        text += line;
        text += m_strEol;
        ++count;
    };
    for (const QString& line : m_preamble) {
        add(line);
    }
    for (const Section& section : m_sections) {
        add(section.raw);
        for (const Line& line : section.lines) {
            add(line.raw);
        }
    }
    if (!m_bFinalEol && count > 0) {
        text.chop(m_strEol.size());
    }
    QByteArray bytes = text.toUtf8();
    if (m_bBom) {
        bytes.prepend("\xEF\xBB\xBF");
    }
    return bytes;
}

bool ProfileStore::CanWrite() const {
    if (m_strPath.isEmpty()) {
        return false;
    }
    const QString target = WriteTarget(m_strPath);
    const QFileInfo info(target);
    struct stat st {};
    const QByteArray dirNative = QFile::encodeName(info.absolutePath());
    if (::stat(dirNative.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        !Writable(dirNative, st)) {
        return false;
    }
    const QByteArray native = QFile::encodeName(target);
    if (::stat(native.constData(), &st) == 0) {
        return S_ISREG(st.st_mode) && Writable(native, st);
    }
    return errno == ENOENT;
}

bool ProfileStore::KeepDamagedCopy(const QString& target) {
    for (int n = 0; n < 1000; ++n) {
        const QString name =
            target + QStringLiteral(".damaged") + (n == 0 ? QString() : u'.' + QString::number(n));
        const int fd = ::open(QFile::encodeName(name).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        bool ok = WriteAll(fd, m_originalBytes) && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        if (!ok) {
            ::unlink(QFile::encodeName(name).constData());
        }
        return ok;
    }
    return false;
}

bool ProfileStore::Flush() {
    if (!m_bDirty) {
        return true;
    }
    if (!CanWrite()) {
        return false;
    }
    const QString target = WriteTarget(m_strPath);
    const QByteArray native = QFile::encodeName(target);
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    if (m_bDamaged && !KeepDamagedCopy(target)) {
        return false;  // never replace a damaged file without keeping its bytes
    }
    if (!ReplaceFile(target, Serialize(), mode)) {
        return false;
    }
    m_bDirty = false;
    m_bDamaged = false;
    m_originalBytes.clear();
    m_bLoaded = false;  // the next operation takes the new file's stamp
    return true;
}

ProfileStore::Section* ProfileStore::FindSection(const QString& name) {
    for (Section& section : m_sections) {
        if (SameName(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

ProfileStore::Line* ProfileStore::FindKey(Section& section, const QString& key) {
    const QString wanted = TrimBlanks(key);
    for (Line& line : section.lines) {
        if (line.isKey && SameName(line.key, wanted)) {
            return &line;
        }
    }
    return nullptr;
}

int ProfileStore::GetString(const OptText& section, const OptText& key, const OptText& def,
                            QChar* buffer, int size) {
    std::lock_guard lock(m_mutex);
    const bool readable = Refresh();
    if (!section) {
        std::vector<QString> names;
        if (readable) {
            for (const Section& s : m_sections) {
                names.push_back(s.name);
            }
        }
        return CopyNameList(names, buffer, size);
    }
    Section* found = readable ? FindSection(*section) : nullptr;
    if (!key) {
        std::vector<QString> keys;
        if (found != nullptr) {
            for (const Line& line : found->lines) {
                if (line.isKey) {
                    keys.push_back(line.key);
                }
            }
        }
        return CopyNameList(keys, buffer, size);
    }
    const Line* line = found != nullptr ? FindKey(*found, *key) : nullptr;
    return CopyValue(line != nullptr ? line->value : def.value_or(QString()), buffer, size);
}

std::int32_t ProfileStore::GetInt(const OptText& section, const OptText& key, std::int32_t defVal) {
    std::lock_guard lock(m_mutex);
    if (!section || !key || !Refresh()) {
        return defVal;
    }
    Section* found = FindSection(*section);
    const Line* line = found != nullptr ? FindKey(*found, *key) : nullptr;
    if (line == nullptr || line->value.isEmpty()) {
        return defVal;
    }
    const QString& v = line->value;
    qsizetype i = 0;
    while (i < v.size() && IsBlank(v[i])) {
        ++i;
    }
    bool negative = false;
    if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) {
        negative = v[i] == u'-';
        ++i;
    }
    std::int64_t n = 0;
    for (; i < v.size() && v[i] >= u'0' && v[i] <= u'9'; ++i) {
        n = std::min<std::int64_t>(n * 10 + (v[i].unicode() - u'0'), std::int64_t{1} << 32);
    }
    if (negative) {
        n = -n;
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(n, INT32_MIN, INT32_MAX));
}

int ProfileStore::WriteString(const OptText& section, const OptText& key, const OptText& data) {
    std::lock_guard lock(m_mutex);
    if (!section && !key && !data) {
        return Flush() ? 1 : 0;
    }
    if (!section || HasLineBreakOrNul(*section)) {
        return 0;
    }
    if (key) {
        const QString trimmed = TrimBlanks(*key);
        if (trimmed.isEmpty() || HasLineBreakOrNul(*key) || key->contains(u'=') ||
            trimmed.startsWith(u'[') || trimmed.startsWith(u';') || trimmed.startsWith(u'#')) {
            return 0;
        }
    }
    if (data && HasLineBreakOrNul(*data)) {
        return 0;
    }
    if (!Refresh() || !CanWrite()) {
        return 0;
    }

    Section* found = FindSection(*section);
    if (!key) {  // delete the section
        if (found != nullptr) {
            m_sections.erase(m_sections.begin() + (found - m_sections.data()));
            m_bDirty = true;
        }
        return 1;
    }
    if (!data) {  // delete the key
        if (found != nullptr) {
            if (Line* line = FindKey(*found, *key)) {
                found->lines.erase(found->lines.begin() + (line - found->lines.data()));
                m_bDirty = true;
            }
        }
        return 1;
    }
    if (found == nullptr) {
        // A new section goes after all others, set off by a blank line.
        const QString* last = nullptr;
        if (!m_sections.empty()) {
            const Section& s = m_sections.back();
            last = s.lines.empty() ? &s.raw : &s.lines.back().raw;
        } else if (!m_preamble.empty()) {
            last = &m_preamble.back();
        }
        if (last != nullptr && !TrimBlanks(*last).isEmpty()) {
            if (m_sections.empty()) {
                m_preamble.emplace_back();
            } else {
                m_sections.back().lines.push_back(Line{});
            }
        }
        m_sections.push_back(Section{u'[' + *section + u']', *section, {}});
        found = &m_sections.back();
    }
    if (Line* line = FindKey(*found, *key)) {
        if (line->value != *data) {
            line->value = *data;
            line->raw = line->key + u'=' + *data;
            m_bDirty = true;
        }
        return 1;
    }
    // A new key goes after the section's last non-blank line.
    auto at = found->lines.end();
    while (at != found->lines.begin() && TrimBlanks(std::prev(at)->raw).isEmpty()) {
        --at;
    }
    const QString name = TrimBlanks(*key);
    found->lines.insert(at, Line{name + u'=' + *data, name, *data, true});
    m_bDirty = true;
    m_bFinalEol = true;
    return 1;
}
