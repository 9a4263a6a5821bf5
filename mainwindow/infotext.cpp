#include "mainwindow/infotext.h"

#include <QRegularExpression>

QString InfoDateText(const QDateTime& dateTime, const QLocale& locale) {
    // The long time format carries the seconds, and in some locales the time
    // zone ("t"), which the panel leaves out.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*\\(?t+\\)?\\s*"));
    timeFormat.replace(zone, QStringLiteral(" "));
    timeFormat = timeFormat.trimmed();
    return locale.toString(dateTime.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(dateTime.time(), timeFormat);
}
