#include "settings/clsprofile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstring>

namespace {

// The executable's folder, "/", its name without extension, ".ini".
QString DefaultPath() {
    QString exe;
    if (QCoreApplication::instance() != nullptr) {
        exe = QCoreApplication::applicationFilePath();
    }
    if (exe.isEmpty()) {
        exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    }
    const QFileInfo info(exe);
    return info.absolutePath() + u'/' + info.completeBaseName() + QStringLiteral(".ini");
}

// A fresh read buffer: kBufferChars characters, all NUL.
QString NewBuffer() {
    QString buffer(clsProfile::kBufferChars, Qt::Uninitialized);
    std::memset(static_cast<void*>(buffer.data()), 0,
                static_cast<size_t>(buffer.size()) * sizeof(QChar));
    return buffer;
}

}  // namespace

clsProfile::clsProfile() {
    setFileName(DefaultPath());
}

clsProfile::~clsProfile() {
    Flush();
}

ProfileStore& clsProfile::Store() {
    if (!m_store) {
        m_store = ProfileStore::Open(m_strFileName);
    }
    return *m_store;
}

OptText clsProfile::GetString(OptText Section, OptText Key, OptText defVal) {
    OptText result;
    QString buffer = NewBuffer();
    const int count = Store().GetString(Section, Key, defVal, buffer.data(), kBufferChars - 1);
    if (count > 0) {
        result = TrimNull(buffer, 0);
    }
    return result;
}

std::int32_t clsProfile::GetInt(OptText Section, OptText Key, std::int32_t defVal) {
    return Store().GetInt(Section, Key, defVal);
}

QStringList clsProfile::GetSectNames() {
    QString buffer = NewBuffer();
    const int count = Store().GetString(std::nullopt, std::nullopt, std::nullopt, buffer.data(),
                                        kBufferChars - 1);
    if (count <= 0) {
        return {};
    }
    return TrimNull(buffer, -1).split(QChar(0));
}

bool clsProfile::WriteString(OptText Section, OptText Key, OptText Data) {
    return Store().WriteString(Section, Key, Data) != 0;
}

bool clsProfile::DeleteKey(OptText Section, OptText Key) {
    return Store().WriteString(Section, Key, std::nullopt) != 0;
}

bool clsProfile::DeleteSection(OptText Section) {
    return Store().WriteString(Section, std::nullopt, std::nullopt) != 0;
}

void clsProfile::Flush() {
    WriteString(std::nullopt, std::nullopt, std::nullopt);
}

QString clsProfile::FileName() const {
    return m_strFileName;
}

void clsProfile::setFileName(const QString& path) {
    m_strFileName = path;
    m_store.reset();  // the old file's store flushes when nobody else holds it
    m_store = ProfileStore::Open(m_strFileName);
}

// mode 0: the text before its first NUL.
// mode < 0: the text without its trailing run of NULs (NULs inside remain).
// mode > 0: the first mode - 1 characters, or the whole text when shorter.
QString clsProfile::TrimNull(const QString& text, std::int32_t mode) {
    if (mode == 0) {
        const qsizetype nul = text.indexOf(QChar(0));
        return nul < 0 ? text : text.left(nul);
    }
    if (mode < 0) {
        qsizetype end = text.size();
        while (end > 0 && text[end - 1] == QChar(0)) {
            --end;
        }
        return text.left(end);
    }
    return text.left(static_cast<qsizetype>(mode) - 1);
}
