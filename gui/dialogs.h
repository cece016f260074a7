// What the window asks of the user: a question, a choice, a file or folder, a line of text, a
// number. The window asks only through this, so that its tests can answer in the user's place.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A message to read and close.
    virtual void inform(QWidget* parent, const QString& title, const QString& text);
    // Yes or no.
    virtual bool question(QWidget* parent, const QString& title, const QString& text);
    // The index of the choice taken; -1 when the dialogue is dismissed.
    virtual int choose(QWidget* parent, const QString& title, const QString& text, const QStringList& choices);
    // Empty when cancelled.
    virtual QString openFile(QWidget* parent, const QString& title, const QString& filter);
    // Several files at once; none when cancelled.
    virtual QStringList openFiles(QWidget* parent, const QString& title);
    virtual QString openFolder(QWidget* parent, const QString& title);
    virtual QString saveFile(QWidget* parent, const QString& title, const QString& suggested, const QString& filter);
    // A null string when cancelled.
    virtual QString text(QWidget* parent, const QString& title, const QString& label, const QString& value);
    // False when cancelled.
    virtual bool number(QWidget* parent, const QString& title, const QString& label, double& value);
};
