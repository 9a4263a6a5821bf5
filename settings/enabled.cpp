#include "settings/enabled.h"

#include <QRegularExpression>

std::optional<bool> ParseEnabled(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(u"True", Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (t.compare(u"False", Qt::CaseInsensitive) == 0) {
        return false;
    }
    static const QRegularExpression number(
        QStringLiteral(R"(^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$)"));
    if (!number.match(t).hasMatch()) {
        return std::nullopt;
    }
    // Zero whatever its spelling ("0", "-0", "0.00", "0e5"): every digit of
    // the mantissa is 0.
    const qsizetype exponent = t.indexOf(u'e', 0, Qt::CaseInsensitive);
    const QString mantissa = exponent < 0 ? t : t.left(exponent);
    for (QChar c : mantissa) {
        if (c.isDigit() && c != u'0') {
            return true;
        }
    }
    return false;
}

bool EnabledOrUnticked(const OptText& text) {
    return text ? ParseEnabled(*text).value_or(false) : false;
}
