#pragma once
// What the entry dialog hands a finished target to. The main window
// implements it; the dialog only knows this interface, never the window.

#include <QString>

class TargetSink {
  public:
    virtual ~TargetSink() = default;
    // True when the target was added; on false the sink has reported why.
    virtual bool AddList(const QString& strCaption, const QString& strFile,
                         const QString& strPassword, bool bEnable) = 0;
    // True when the record was replaced; on false the sink has reported why.
    virtual bool EditList(const QString& strCaption, const QString& strFile,
                          const QString& strPassword) = 0;
};
