#include "entrydialog/commondialog.h"

#include <QDir>
#include <QFileDialog>

QStringList QtNameFilters(const QString& strFilter) {
    QStringList filters;
    const QStringList parts = strFilter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'))) {
            const QString trimmed = pattern.trimmed();
            if (!trimmed.isEmpty())
                patterns << trimmed;
        }
        const QString bracketed =
            QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
        // Qt reads the patterns from the brackets at the end of the text,
        // separated by spaces, so a description that already names them is
        // used as it is, with spaces where Windows shows semicolons.
        const QString semicolons =
            QLatin1Char('(') + patterns.join(QLatin1Char(';')) + QLatin1Char(')');
        QString text = description.trimmed();
        if (text.endsWith(semicolons))
            text = text.left(text.size() - semicolons.size()).trimmed();
        if (text.endsWith(bracketed))
            filters << text;
        else
            filters << text + QLatin1Char(' ') + bracketed;
    }
    return filters;
}

PickOutcome QtFilePicker::PickOpen(QWidget* parent, const OpenRequest& request) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (!request.nameFilters.isEmpty())
        dialog.setNameFilters(request.nameFilters);
    if (!request.fileName.isEmpty())
        dialog.selectFile(request.fileName);

    PickOutcome outcome;
    if (dialog.exec() != QDialog::Accepted) {
        outcome.status = PickOutcome::Status::Cancelled;
        return outcome;
    }
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty()) {
        outcome.status = PickOutcome::Status::Failed;
        outcome.description = QStringLiteral(
            "The file-open dialog closed without a file name. Please choose the database "
            "file again.");
        return outcome;
    }
    outcome.status = PickOutcome::Status::Chosen;
    outcome.fileName = QDir::toNativeSeparators(files.first());
    return outcome;
}

void CommonDialog::ShowOpen(QWidget* parent) {
    OpenRequest request;
    request.nameFilters = QtNameFilters(Filter);
    request.flags = Flags;
    request.fileName = FileName;

    const PickOutcome outcome = m_picker.PickOpen(parent, request);
    switch (outcome.status) {
        case PickOutcome::Status::Chosen:
            FileName = outcome.fileName;
            return;
        case PickOutcome::Status::Cancelled:
            throw CommonDialogError(cdlCancel, QStringLiteral("Cancel was selected."));
        case PickOutcome::Status::Failed:
            break;
    }
    throw CommonDialogError(cdlDialogFailure,
                            outcome.description.isEmpty()
                                ? QStringLiteral("The file-open dialog could not be shown.")
                                : outcome.description);
}
