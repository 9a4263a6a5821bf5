#include "compaction/compactionrun.h"

#include <QFileInfo>

#include <exception>

#include "platform/messagebox.h"

namespace {

const QString kProvider = QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=");
const QString kPasswordKey = QStringLiteral("Jet OLEDB:Database Password=");
const QString kTempDatabase = QStringLiteral("TmpMDB.mdb");
const QString kFailureHead = QStringLiteral("Failed in optimizing");

// The state of one run; nothing of it outlives the run.
struct RunState {
    int count = 0;          // item count, read once
    int index = 0;          // current position, 1-based
    bool haveItem = false;  // an item has been fetched for this position
    bool checked = false;   // the current item's check box
    QString path;           // the current item's target record, element 1
    QString password;       // element 2
    QString source;
    QString destination;
    bool retry = false;
    std::unique_ptr<DatabaseEngine> engine;
    std::unique_ptr<FileSystem> fileSystem;
    QString failureText;
};

QString DescriptionOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EngineError& e) {
        return e.Description();
    } catch (const FileError& e) {
        return e.Description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("An unknown failure occurred.");
    }
}

}  // namespace

CompactionRun::CompactionRun(RunView& view, MessageBoxes& boxes, EngineFactory engines,
                             FileSystemFactory fileSystems)
    : m_view(view),
      m_boxes(boxes),
      m_engines(std::move(engines)),
      m_fileSystems(std::move(fileSystems)) {}

QString CompactionRun::PercentText(int index, int count) {
    if (count <= 0) {
        return QStringLiteral("0%");
    }
    // i / n to two places, ties to even, in whole hundredths.
    const std::int64_t scaled = std::int64_t{index} * 100;
    std::int64_t hundredths = scaled / count;
    const std::int64_t twiceRemainder = (scaled % count) * 2;
    if (twiceRemainder > count || (twiceRemainder == count && hundredths % 2 != 0)) {
        ++hundredths;
    }
    return QString::number(hundredths) + u'%';
}

void CompactionRun::Run() {
    RunState s;
    int step = 1;
    while (step <= 27) {
        int next = step + 1;
        try {
            switch (step) {
                case 1:
                    s.count = m_view.ItemCount();
                    break;
                case 2:
                    if (s.count < 1) {
                        next = 23;
                    }
                    break;
                case 3:
                    m_view.SetBarMax(s.count);
                    break;
                case 4:
                    m_view.SetBarValue(0);
                    break;
                case 5:
                    m_view.SetBarVisible(true);
                    break;
                case 6:
                    s.index = 1;
                    break;
                case 7:
                    s.haveItem = false;
                    s.checked = m_view.ItemChecked(s.index);
                    s.path = m_view.ItemPath(s.index);
                    s.password = m_view.ItemPassword(s.index);
                    s.haveItem = true;
                    break;
                case 8:
                    if (!s.checked) {
                        next = 19;
                    }
                    break;
                case 9:
                    s.retry = false;
                    break;
                case 10:
                    s.source = kProvider + s.path + u';';
                    break;
                case 11:
                    s.destination = kProvider + kTempDatabase + u';';
                    break;
                case 12:
                    if (!s.engine) {
                        s.engine = m_engines();
                        if (!s.engine) {
                            throw EngineError(
                                QStringLiteral("The database engine could not be "
                                               "started."));
                        }
                    }
                    s.engine->CompactDatabase(s.source, s.destination);
                    break;
                case 13:
                    if (!s.retry) {
                        next = 17;
                    }
                    break;
                case 14:
                    s.source += kPasswordKey + s.password;
                    break;
                case 15:
                    s.destination += kPasswordKey + s.password;
                    break;
                case 16:
                    s.engine->CompactDatabase(s.source, s.destination);
                    break;
                case 17:
                    if (!s.fileSystem) {
                        s.fileSystem = m_fileSystems();
                        if (!s.fileSystem) {
                            throw FileError(
                                QStringLiteral("The file services could not be "
                                               "started."));
                        }
                    }
                    s.fileSystem->DeleteFile(s.path, false);
                    break;
                case 18:
                    s.fileSystem->MoveFile(kTempDatabase, s.path);
                    break;
                case 19:
                    m_view.SetBarValue(s.index);
                    break;
                case 20:
                    m_view.CenterStatusPanel();
                    break;
                case 21:
                    m_view.SetStatusText(PercentText(s.index, s.count));
                    break;
                case 22:
                    if (s.index + 1 <= s.count) {
                        ++s.index;
                        next = 7;
                    }
                    break;
                case 23:
                    break;  // from here on, failures are ignored
                case 24:
                    m_view.Sleep(500);
                    break;
                case 25:
                    m_view.SetBarVisible(false);
                    break;
                case 26:
                    m_view.SetStatusText(QString());
                    break;
                case 27:
                    s.engine.reset();
                    s.fileSystem.reset();
                    break;
            }
        } catch (...) {
            const QString description = DescriptionOf(std::current_exception());
            if (step == 1) {
                m_boxes.Exclamation(description);
                next = 23;
            } else if (step >= 3 && step <= 22) {
                if (!s.haveItem) {
                    // No item has been fetched: there is no path to name.
                    m_boxes.Exclamation(description);
                    next = 23;
                } else if (!s.password.isEmpty() && !s.retry && step != 17 && step != 18) {
                    s.retry = true;  // absorbed once: go on with the next step
                } else {
                    // Once the compaction has succeeded, a failed delete or
                    // move always ends the run, and says where the compacted
                    // database is.
                    QString where;
                    if (step == 17 || step == 18) {
                        where = QStringLiteral(" The compacted database is \"") +
                                QFileInfo(kTempDatabase).absoluteFilePath() + QStringLiteral("\".");
                    }
                    s.failureText = kFailureHead + QStringLiteral("\r\n") + s.path +
                                    QStringLiteral("\r\n\r\n") + QStringLiteral("Details : ");
                    m_boxes.Exclamation(s.failureText + description + where);
                    next = 23;
                }
            }
            // Steps 23 to 27: a failing step is skipped.
        }
        step = next;
    }
}
