#pragma once
// The compaction run behind "&Optimize": visits the targets in list order,
// compacts each ticked database into "TmpMDB.mdb" in the current working
// directory, deletes the database and moves the compacted copy into its
// place, with the progress bar and the percentage following the walk.
//
// The run only talks to its surroundings through RunView (the list, the bar,
// the status panel, the pause), MessageBoxes and the engine and file-system
// factories, so tests can hand it fakes that fail at any step.

#include <QString>
#include <functional>
#include <memory>

#include "compaction/filesystem.h"
#include "compaction/jetengine.h"

class MessageBoxes;

// What the run reads from the window and shows in it. Positions are 1-based.
class RunView {
  public:
    virtual ~RunView() = default;
    virtual int ItemCount() = 0;
    virtual bool ItemChecked(int index) = 0;
    virtual QString ItemPath(int index) = 0;      // target record element 1
    virtual QString ItemPassword(int index) = 0;  // target record element 2
    virtual void SetBarMax(int value) = 0;
    virtual void SetBarValue(int value) = 0;
    virtual void SetBarVisible(bool visible) = 0;
    virtual void CenterStatusPanel() = 0;  // the second panel
    virtual void SetStatusText(const QString& text) = 0;
    virtual void Sleep(int milliseconds) = 0;
};

class CompactionRun {
  public:
    using EngineFactory = std::function<std::unique_ptr<DatabaseEngine>()>;
    using FileSystemFactory = std::function<std::unique_ptr<FileSystem>()>;

    // Real engine and file system.
    CompactionRun(RunView& view, MessageBoxes& boxes);
    CompactionRun(RunView& view, MessageBoxes& boxes, EngineFactory engines,
                  FileSystemFactory fileSystems);

    // One whole run, from reading the item count to hiding the bar.
    void Run();

    // "12%" for 1 of 8: i / n rounded to two places (ties to even), times 100.
    static QString PercentText(int index, int count);

  private:
    RunView& m_view;
    MessageBoxes& m_boxes;
    EngineFactory m_engines;
    FileSystemFactory m_fileSystems;
};
