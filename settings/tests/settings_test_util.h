#pragma once
// Small file helpers shared by the settings tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <filesystem>
#include <ostream>

// Readable failure output for texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace settings_test {

inline QString Q(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

inline QByteArray ReadBytes(const std::filesystem::path& p) {
    QFile f(Q(p));
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}

inline void WriteBytes(const std::filesystem::path& p, const QByteArray& bytes) {
    QFile f(Q(p));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(bytes);
    }
}

}  // namespace settings_test
