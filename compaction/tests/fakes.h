#pragma once
// Recording fakes for the compaction run: a view that logs every call, boxes
// that keep their texts, and an engine and a file system that log their calls
// into the same log and fail when a test says so.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "compaction/compactionrun.h"
#include "platform/messagebox.h"

// Readable failure output for texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace compaction_test {

struct Item {
    bool checked = true;
    QString path;
    QString password;
};

class FakeView : public RunView {
  public:
    explicit FakeView(QStringList& log) : m_log(log) {}
    std::vector<Item> items;
    std::function<void(const QString& call)> failOn;  // throws to make a call fail

    int ItemCount() override {
        Note(QStringLiteral("count"));
        return static_cast<int>(items.size());
    }
    bool ItemChecked(int index) override {
        Note(QStringLiteral("item %1").arg(index));
        return At(index).checked;
    }
    QString ItemPath(int index) override { return At(index).path; }
    QString ItemPassword(int index) override { return At(index).password; }
    void SetBarMax(int value) override { Note(QStringLiteral("max %1").arg(value)); }
    void SetBarValue(int value) override { Note(QStringLiteral("value %1").arg(value)); }
    void SetBarVisible(bool visible) override {
        Note(visible ? QStringLiteral("show") : QStringLiteral("hide"));
    }
    void CenterStatusPanel() override { Note(QStringLiteral("center")); }
    void SetStatusText(const QString& text) override { Note(QStringLiteral("text ") + text); }
    void Sleep(int milliseconds) override { Note(QStringLiteral("sleep %1").arg(milliseconds)); }

    // The status texts, in order.
    QStringList Texts() const {
        QStringList texts;
        for (const QString& line : m_log) {
            if (line.startsWith(QStringLiteral("text "))) {
                texts << line.mid(5);
            }
        }
        return texts;
    }

  private:
    const Item& At(int index) { return items.at(static_cast<size_t>(index - 1)); }
    void Note(const QString& call) {
        m_log << call;
        if (failOn) {
            failOn(call);
        }
    }
    QStringList& m_log;
};

class FakeBoxes : public MessageBoxes {
  public:
    QStringList exclamations;
    QStringList plain;
    void Exclamation(const QString& text) override { exclamations << text; }
    void Plain(const QString& text) override { plain << text; }
};

// Decides the fate of one engine call: return an empty text to succeed, or
// the description of the failure.
using EngineScript = std::function<QString(const QString& source, const QString& destination)>;

class FakeEngine : public DatabaseEngine {
  public:
    FakeEngine(QStringList& log, EngineScript script) : m_log(log), m_script(std::move(script)) {}
    ~FakeEngine() override { m_log << QStringLiteral("engine released"); }
    void CompactDatabase(const QString& source, const QString& destination) override {
        m_log << QStringLiteral("compact ") + source + QStringLiteral(" -> ") + destination;
        if (m_script) {
            const QString failure = m_script(source, destination);
            if (!failure.isEmpty()) {
                throw EngineError(failure);
            }
        }
    }

  private:
    QStringList& m_log;
    EngineScript m_script;
};

class FakeFileSystem : public FileSystem {
  public:
    FakeFileSystem(QStringList& log, std::function<QString(const QString& call)> script)
        : m_log(log), m_script(std::move(script)) {}
    ~FakeFileSystem() override { m_log << QStringLiteral("files released"); }
    File GetFile(const QString& path) override {
        Call(QStringLiteral("get ") + path);
        return File(0, {});
    }
    bool FileExists(const QString& path) override {
        Call(QStringLiteral("exists ") + path);
        return true;
    }
    void DeleteFile(const QString& path, bool force) override {
        Call(QStringLiteral("delete ") + path +
             (force ? QStringLiteral(" force") : QStringLiteral(" noforce")));
    }
    void MoveFile(const QString& source, const QString& destination) override {
        Call(QStringLiteral("move ") + source + QStringLiteral(" -> ") + destination);
    }

  private:
    void Call(const QString& call) {
        m_log << call;
        if (m_script) {
            const QString failure = m_script(call);
            if (!failure.isEmpty()) {
                throw FileError(failure);
            }
        }
    }
    QStringList& m_log;
    std::function<QString(const QString& call)> m_script;
};

}  // namespace compaction_test
