#include "fieldtext.h"

#include <QRegularExpression>

QString FieldText::oneLine(const QString& text)
{
    // Every character that ends a line somewhere: a pasted text may come from any system.
    static const QRegularExpression lineBreaks(
        QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]+"));
    QString line = text;
    return line.replace(lineBreaks, QStringLiteral(" ")).trimmed();
}

QVariantMap FieldText::oneLineTexts(const QVariantMap& values)
{
    QVariantMap lines = values;
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it->typeId() == QMetaType::QString)
            *it = oneLine(it->toString());
    }
    return lines;
}
