#include "dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

void Dialogs::inform(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::about(parent, title, text);
}

bool Dialogs::question(QWidget* parent, const QString& title, const QString& text) {
    return QMessageBox::question(parent, title, text) == QMessageBox::Yes;
}

int Dialogs::choose(QWidget* parent, const QString& title, const QString& text, const QStringList& choices) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    std::vector<QAbstractButton*> buttons;
    for (const QString& choice : choices) buttons.push_back(box.addButton(choice, QMessageBox::AcceptRole));
    box.addButton(QMessageBox::Cancel);
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) return int(i);
    return -1;
}

QString Dialogs::openFile(QWidget* parent, const QString& title, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, title, {}, filter);
}

QStringList Dialogs::openFiles(QWidget* parent, const QString& title) {
    return QFileDialog::getOpenFileNames(parent, title);
}

QString Dialogs::openFolder(QWidget* parent, const QString& title) {
    return QFileDialog::getExistingDirectory(parent, title);
}

QString Dialogs::saveFile(QWidget* parent, const QString& title, const QString& suggested, const QString& filter) {
    return QFileDialog::getSaveFileName(parent, title, suggested, filter);
}

QString Dialogs::text(QWidget* parent, const QString& title, const QString& label, const QString& value) {
    bool ok = false;
    const QString given = QInputDialog::getText(parent, title, label, QLineEdit::Normal, value, &ok);
    return ok ? given : QString();
}

bool Dialogs::number(QWidget* parent, const QString& title, const QString& label, double& value) {
    bool ok = false;
    const double given = QInputDialog::getDouble(parent, title, label, value, 1e-6, 1e9, 3, &ok);
    if (ok) value = given;
    return ok;
}
