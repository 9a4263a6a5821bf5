#pragma once
// Stand-ins for what the entry dialog is handed: they record what reached
// them and answer as the test scripts.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "compaction/filesystem.h"
#include "entrydialog/commondialog.h"
#include "entrydialog/targetsink.h"
#include "platform/messagebox.h"

class RecordingBoxes : public MessageBoxes {
  public:
    void Exclamation(const QString& text) override { exclamations << text; }
    void Plain(const QString& text) override { plains << text; }
    QStringList exclamations;
    QStringList plains;
};

struct SinkCall {
    bool bAdd = true;
    QString strCaption, strFile, strPassword;
    bool bEnable = false;
};

// A target list that takes or refuses what it is given. Refusals are
// scripted per call; without a script every call is taken. A refused call
// reports through `boxes`, as the real list does.
class RecordingSink : public TargetSink {
  public:
    explicit RecordingSink(MessageBoxes& boxes) : m_boxes(boxes) {}
    bool AddList(const QString& strCaption, const QString& strFile, const QString& strPassword,
                 bool bEnable) override {
        calls.append({true, strCaption, strFile, strPassword, bEnable});
        return Answer(strCaption);
    }
    bool EditList(const QString& strCaption, const QString& strFile,
                  const QString& strPassword) override {
        calls.append({false, strCaption, strFile, strPassword, false});
        return Answer(strCaption);
    }
    QList<bool> answers;  // taken from the front, one per call
    QList<SinkCall> calls;

  private:
    bool Answer(const QString& strCaption) {
        const bool bTaken = answers.isEmpty() ? true : answers.takeFirst();
        if (!bTaken)
            m_boxes.Exclamation(QStringLiteral("'%1' is already in the list.").arg(strCaption));
        return bTaken;
    }
    MessageBoxes& m_boxes;
};

// Files that exist, by exact path; every question is recorded.
class ScriptedFileSystem : public FileSystem {
  public:
    struct State {
        QSet<QString> files;
        QStringList asked;
        int made = 0;
        int alive = 0;
    };
    explicit ScriptedFileSystem(State& state) : m_state(state) { ++m_state.alive; }
    ~ScriptedFileSystem() override { --m_state.alive; }
    File GetFile(const QString& path) override {
        throw FileError(QStringLiteral("not used: ") + path);
    }
    bool FileExists(const QString& path) override {
        m_state.asked << path;
        return m_state.files.contains(path);
    }
    void DeleteFile(const QString& path, bool) override {
        throw FileError(QStringLiteral("not used: ") + path);
    }
    void MoveFile(const QString& source, const QString&) override {
        throw FileError(QStringLiteral("not used: ") + source);
    }

    static std::function<std::unique_ptr<FileSystem>()> Factory(State& state) {
        return [&state] {
            ++state.made;
            return std::make_unique<ScriptedFileSystem>(state);
        };
    }

  private:
    State& m_state;
};

// A file picker whose answers are queued by the test; no window is shown.
class ScriptedPicker : public FilePicker {
  public:
    PickOutcome PickOpen(QWidget* parent, const OpenRequest& request) override {
        parents << parent;
        requests << request;
        if (outcomes.isEmpty())
            return PickOutcome{};
        return outcomes.takeFirst();
    }
    static PickOutcome Chosen(const QString& path) {
        return {PickOutcome::Status::Chosen, path, QString()};
    }
    static PickOutcome Cancelled() { return {PickOutcome::Status::Cancelled, {}, {}}; }
    static PickOutcome Failed(const QString& why) {
        return {PickOutcome::Status::Failed, QString(), why};
    }
    QList<PickOutcome> outcomes;
    QList<OpenRequest> requests;
    QList<QWidget*> parents;
};
