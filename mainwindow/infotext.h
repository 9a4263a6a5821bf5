#pragma once
// Texts of the "File Info." panel.

#include <QDateTime>
#include <QLocale>
#include <QString>

// A file's last-update time as the locale writes it: its short date, a blank,
// then the time with seconds (without the time zone).
QString InfoDateText(const QDateTime& dateTime, const QLocale& locale);
